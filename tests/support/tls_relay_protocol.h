// What the Windows tests and kelvane-tls-relay say to each other. The relay
// runs natively (the test programs under Wine cannot link OpenSSL) and listens
// on the loopback port named by KELVANE_TEST_TLS_RELAY. A control connection
// carries requests of one line, each answered by one line, "ok ..." or
// "error TEXT":
//   "open TARGET CERT PLAIN"  a TlsFront(TARGET, TestCert(CERT), PLAIN != 0)
//                             -> "ok PORT"; one per control connection
//   "handshakes"              -> "ok N", the front's TlsFront::handshakes()
//   "ca"                      -> "ok HEX", the test CA's DER certificate in hex
//   "close"                   -> "ok" once the front has stopped
// A control connection that closes takes its front with it.
#pragma once

#include <cstddef>
#include <string>

inline constexpr const char* TLS_RELAY_VARIABLE = "KELVANE_TEST_TLS_RELAY";
// No request or answer line is longer (the CA in hex is about a kilobyte).
inline constexpr size_t TLS_RELAY_LINE_LIMIT = 16384;

// The test CA's certificate, DER-encoded (made by the OpenSSL front).
std::string test_ca_der();
