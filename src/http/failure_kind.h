// Why an image could not be fetched, decided where the failure happens and
// carried with the download's result, so that a report can name the cause
// without reading the failure's text (which stays the image client's own).
#pragma once

enum class FailureKind : unsigned char {
    None,         // no failure
    Timeout,      // no connect, answer or TLS handshake within the limit
    Refused,      // nothing listens on the host's port
    Dns,          // the host's name does not resolve
    Connect,      // the connect failed otherwise
    Tls,          // the TLS handshake failed, or the certificate is not trusted or not the host's
    HostGivenUp,  // the host failed too often in a row and is skipped for the job
    Cut,          // the connection ended or was reset before the whole image came
    HttpStatus,   // the server answered with a status other than 200 (and no followed redirect)
    BadResponse,  // an answer the client cannot read: too long a head, compressed, no length,
                  // a broken chunk, more body than announced
    TooLarge,     // over the 10 MiB limit
    NotAnImage,   // not a JPEG, PNG, GIF or BMP
    BadAddress,   // the address, or the one a redirect names, cannot be used
    Write,        // the image file could not be written
    Create,       // the image file could not be created
    Stopped,      // the job stopped while the download ran
};
