// Builds data packages the way Taobao Assistant 5.x exports them: a version
// line, the English column names, the Chinese header row (about sixty
// columns, title first), one TAB-separated row per item with text cells in
// double quotes (inner quotes doubled), CRLF line ends, UTF-16LE with a BOM.
// All text given and returned is GB18030, as the reader holds it (GBK text
// is GB18030 as it stands).
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct PackageItem {
    std::string title;          // unquoted
    std::string description;    // unquoted HTML
    std::string mobile;         // unquoted mobile detail (<wapDesc>...)
    std::string sellingPoints;  // unquoted
};

class PackageBuilder {
  public:
    PackageBuilder();

    // Leaves out the mobile-detail column (older exports have none).
    PackageBuilder& without_mobile_column();
    // Replaces the Chinese header cells (and so the columns) entirely.
    PackageBuilder& with_columns(std::vector<std::string> headers);
    PackageBuilder& add(PackageItem item);

    // The package as text, exactly as the reader should hand it back.
    std::string text() const;
    // The package file's bytes: FF FE and the text in UTF-16LE.
    std::string file_bytes() const;
    // Writes file_bytes() to a native path.
    void write(const std::string& path) const;

    // Quotes a cell: wraps it in double quotes, doubling the ones inside.
    static std::string quote(const std::string& cell);

  private:
    std::string row(const PackageItem& item) const;
    std::vector<std::string> headers_;
    std::vector<PackageItem> items_;
};

// GB18030 (or GBK) text as FF FE + UTF-16LE, and back (with or without the
// FF FE) as GB18030.
std::string gbk_to_utf16le_file(const std::string& gbk);
std::string utf16le_to_gbk(const std::string& utf16le);

// Text from a u"" literal as UTF-16LE bytes, and as GB18030: the tests'
// narrow literals are GBK and cannot spell emoji, Hangul or ™.
std::string utf16le_of(std::u16string_view text);
std::string gb18030_of(std::u16string_view text);
