#include "support/package_builder.h"

#include <cstdlib>

#include "shell/charset.h"
#include "support/temp_dir.h"

namespace {

// The columns of a Taobao Assistant 5.x export, in their usual order.
const char* const DEFAULT_HEADERS[] = {
    "宝贝名称", "宝贝类目",     "店铺类目",     "新旧程度",        "省",           "城市",
    "出售方式", "宝贝价格",     "加价幅度",     "宝贝数量",        "有效期",       "运费承担",
    "平邮",     "EMS",          "快递",         "付款方式",        "支付宝",       "发票",
    "保修",     "自动重发",     "放入仓库",     "橱窗推荐",        "开始时间",     "心情故事",
    "宝贝描述", "宝贝图片",     "宝贝属性",     "团购价",          "最小团购件数", "邮费模版ID",
    "会员打折", "修改时间",     "上传状态",     "图片状态",        "返点比例",     "新图片",
    "视频",     "销售属性组合", "用户输入ID串", "用户输入名-值对", "商家编码",     "销售属性别名",
    "代充类型", "数字ID",       "本地ID",       "宝贝分类",        "用户名称",     "宝贝状态",
    "闪电发货", "新品",         "食品专项",     "尺码库",          "库存类型",     "库存计数",
    "物流体积", "物流重量",     "退换货承诺",   "定制工具",        "无线详情",     "商品条形码",
    "宝贝卖点", "主图视频",     "发货时间",
};

std::string english_name(size_t column) {
    return "column_" + std::to_string(column);
}

// A plain value for a column the reader steps over: numbers and short words,
// never a TAB or a quote.
std::string plain_cell(const std::string& header, size_t row) {
    if (header == "宝贝价格") return std::to_string(10 + row) + ".00";
    if (header == "宝贝数量") return "100";
    if (header == "省") return "\"浙江\"";
    if (header == "城市") return "\"杭州\"";
    if (header == "宝贝图片") return "\"a1b2c3:1:0:|;\"";
    if (header == "修改时间") return "\"2026-12-01 10:00:00\"";
    return "0";
}

}  // namespace

PackageBuilder::PackageBuilder()
    : headers_(std::begin(DEFAULT_HEADERS), std::end(DEFAULT_HEADERS)) {}

PackageBuilder& PackageBuilder::without_mobile_column() {
    std::vector<std::string> kept;
    for (const std::string& h : headers_) {
        if (h != "无线详情") kept.push_back(h);
    }
    headers_ = kept;
    return *this;
}

PackageBuilder& PackageBuilder::with_columns(std::vector<std::string> headers) {
    headers_ = std::move(headers);
    return *this;
}

PackageBuilder& PackageBuilder::add(PackageItem item) {
    items_.push_back(std::move(item));
    return *this;
}

std::string PackageBuilder::quote(const std::string& cell) {
    std::string out = "\"";
    for (char c : cell) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}

std::string PackageBuilder::row(const PackageItem& item) const {
    std::string out;
    for (size_t c = 0; c < headers_.size(); ++c) {
        if (c > 0) out += '\t';
        const std::string& h = headers_[c];
        if (c == 0) {
            out += quote(item.title);
        } else if (h == "宝贝描述") {
            out += quote(item.description);
        } else if (h == "无线详情") {
            out += quote(item.mobile);
        } else if (h == "宝贝卖点") {
            out += quote(item.sellingPoints);
        } else {
            out += plain_cell(h, static_cast<size_t>(&item - items_.data()));
        }
    }
    return out + "\r\n";
}

std::string PackageBuilder::text() const {
    std::string out = "version 1.00\r\n";
    for (size_t c = 0; c < headers_.size(); ++c) {
        if (c > 0) out += '\t';
        out += english_name(c);
    }
    out += "\r\n";
    for (size_t c = 0; c < headers_.size(); ++c) {
        if (c > 0) out += '\t';
        out += headers_[c];
    }
    out += "\r\n";
    for (const PackageItem& item : items_) out += row(item);
    return out;
}

std::string PackageBuilder::file_bytes() const {
    return gbk_to_utf16le_file(text());
}

void PackageBuilder::write(const std::string& path) const {
    write_file(path, file_bytes());
}

std::string gbk_to_utf16le_file(const std::string& gbk) {
    std::string out(2 + gbk.size() * 2, '\0');
    out[0] = '\xFF';
    out[1] = '\xFE';
    size_t written = 0;
    convert_charset("GB18030", "UTF-16LE", gbk.data(), gbk.size(), out.data() + 2, out.size() - 2,
                    &written);
    out.resize(2 + written);
    return out;
}

std::string utf16le_to_gbk(const std::string& utf16le) {
    const size_t mark = utf16le.rfind("\xFF\xFE", 0) == 0 ? 2 : 0;  // a file's byte-order mark
    size_t written = 0;
    std::string out(utf16le.size() * 2 + 1, '\0');  // a BMP character outside GBK takes 4 bytes
    convert_charset("UTF-16LE", "GB18030", utf16le.data() + mark, utf16le.size() - mark, out.data(),
                    out.size(), &written);
    out.resize(written);
    return out;
}

std::string utf16le_of(std::u16string_view text) {
    std::string out;
    for (const char16_t unit : text) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
    }
    return out;
}

std::string gb18030_of(std::u16string_view text) {
    return utf16le_to_gbk(utf16le_of(text));
}
