#include "platform/PropertyList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <pugixml.hpp>
#include <sstream>

namespace platform {

namespace {

// Deeper nesting than this is refused rather than recursed into.
constexpr int kMaxDepth = 256;

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

std::string formatReal(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
    char buffer[64];
    // Shortest text that reads back as the same double.
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
    if (ec != std::errc()) return "0";
    std::string s(buffer, end);
    return s;
}

std::optional<double> parseReal(std::string_view text) {
    text = trimmed(text);
    if (text == "nan" || text == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (text == "+infinity" || text == "infinity" || text == "inf" || text == "+inf")
        return std::numeric_limits<double>::infinity();
    if (text == "-infinity" || text == "-inf") return -std::numeric_limits<double>::infinity();
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double d = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (text.empty() || ptr != text.data() + text.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        // Underflow reads as zero, overflow as infinity, like strtod.
        bool negative = text.front() == '-';
        size_t e = text.find_first_of("eE");
        bool tiny = e != std::string_view::npos && e + 1 < text.size() && text[e + 1] == '-';
        return tiny ? (negative ? -0.0 : 0.0)
                    : (negative ? -std::numeric_limits<double>::infinity()
                                : std::numeric_limits<double>::infinity());
    }
    if (ec != std::errc()) return std::nullopt;
    return d;
}

std::optional<int64_t> parseInteger(std::string_view text) {
    text = trimmed(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    uint64_t magnitude = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    if (negative) {
        if (magnitude > uint64_t(1) << 63) return std::nullopt;
        return static_cast<int64_t>(0 - magnitude);
    }
    // Unsigned 64-bit values above the signed range keep their bit pattern.
    return static_cast<int64_t>(magnitude);
}

std::string formatDate(Value::Date date) {
    time_t t = static_cast<time_t>(std::floor(date.secondsSince1970));
    struct tm tm {};
    if (!gmtime_r(&t, &tm)) return "2001-01-01T00:00:00Z";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buffer;
}

std::optional<Value::Date> parseDate(std::string_view text) {
    text = trimmed(text);
    int y, mo, d, h, mi, s;
    char tail = 0;
    std::string copy(text);
    if (std::sscanf(copy.c_str(), "%d-%d-%dT%d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 7 ||
        tail != 'Z')
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 ||
        s > 60 || y < 1 || y > 9999)
        return std::nullopt;
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return Value::Date{static_cast<double>(timegm(&tm))};
}

bool fail(Error* error, const std::string& reason) {
    return setError(error, PropertyListErrorDomain, -1, reason);
}

bool readNode(const pugi::xml_node& node, int depth, Value& out, Error* error);

bool readDictionary(const pugi::xml_node& node, int depth, Value& out, Error* error) {
    Dictionary dict;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) continue;
        if (std::strcmp(child.name(), "key") != 0)
            return fail(error,
                        std::string("expected <key> in <dict>, found <") + child.name() + ">");
        std::string key = child.text().get();
        pugi::xml_node valueNode = child.next_sibling();
        while (valueNode && valueNode.type() != pugi::node_element)
            valueNode = valueNode.next_sibling();
        if (!valueNode) return fail(error, "key \"" + key + "\" has no value");
        Value v;
        if (!readNode(valueNode, depth + 1, v, error)) return false;
        dict.set(std::move(key), std::move(v));
        child = valueNode;
    }
    out = Value(std::move(dict));
    return true;
}

bool readNode(const pugi::xml_node& node, int depth, Value& out, Error* error) {
    if (depth > kMaxDepth) return fail(error, "property list nested too deeply");
    std::string_view name = node.name();
    std::string_view text = node.text().get();
    if (name == "dict") return readDictionary(node, depth, out, error);
    if (name == "array") {
        Value::Array array;
        for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
            if (child.type() != pugi::node_element) continue;
            Value v;
            if (!readNode(child, depth + 1, v, error)) return false;
            array.push_back(std::move(v));
        }
        out = Value(std::move(array));
        return true;
    }
    if (name == "string") {
        out = Value(std::string(text));
        return true;
    }
    if (name == "true" || name == "false") {
        out = Value(name == "true");
        return true;
    }
    if (name == "integer") {
        auto i = parseInteger(text);
        if (!i) return fail(error, "malformed integer \"" + std::string(text) + "\"");
        out = Value(*i);
        return true;
    }
    if (name == "real") {
        auto r = parseReal(text);
        if (!r) return fail(error, "malformed real \"" + std::string(text) + "\"");
        out = Value(*r);
        return true;
    }
    if (name == "data") {
        auto d = base64Decode(text);
        if (!d) return fail(error, "malformed base64 data");
        out = Value(std::move(*d));
        return true;
    }
    if (name == "date") {
        auto d = parseDate(text);
        if (!d) return fail(error, "malformed date \"" + std::string(text) + "\"");
        out = Value(*d);
        return true;
    }
    return fail(error, "unknown element <" + std::string(name) + ">");
}

void writeNode(pugi::xml_node parent, const Value& value) {
    switch (value.type()) {
        case Value::Type::Null:
            // A property list has no null; an empty string is the closest stand-in.
            parent.append_child("string");
            break;
        case Value::Type::Bool:
            parent.append_child(value.boolValue() ? "true" : "false");
            break;
        case Value::Type::Integer:
            parent.append_child("integer").text().set(std::to_string(value.integerValue()).c_str());
            break;
        case Value::Type::Real:
            parent.append_child("real").text().set(formatReal(value.realValue()).c_str());
            break;
        case Value::Type::String:
            parent.append_child("string").text().set(value.string().c_str());
            break;
        case Value::Type::Data:
            parent.append_child("data").text().set(base64Encode(value.data()).c_str());
            break;
        case Value::Type::Date:
            parent.append_child("date").text().set(formatDate(value.date()).c_str());
            break;
        case Value::Type::Array: {
            pugi::xml_node a = parent.append_child("array");
            for (const Value& v : value.array()) writeNode(a, v);
            break;
        }
        case Value::Type::Object:
            writeNode(parent, value.object()->objectSerializeForPList());
            break;
        case Value::Type::Dictionary: {
            pugi::xml_node d = parent.append_child("dict");
            for (const auto& [key, v] : value.dictionary()) {
                d.append_child("key").text().set(key.c_str());
                writeNode(d, v);
            }
            break;
        }
    }
}

}  // namespace

std::string base64Encode(const Value::Data& data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        uint32_t n = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += kBase64Alphabet[n & 63];
    }
    if (i < data.size()) {
        uint32_t n = uint32_t(data[i]) << 16;
        if (i + 1 < data.size()) n |= uint32_t(data[i + 1]) << 8;
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += i + 1 < data.size() ? kBase64Alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<Value::Data> base64Decode(std::string_view text) {
    Value::Data out;
    out.reserve(text.size() / 4 * 3);
    uint32_t accumulator = 0;
    int bits = 0;
    int padding = 0;
    for (char c : text) {
        if (isSpace(c)) continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        if (padding) return std::nullopt;  // data after padding
        const char* p = std::strchr(kBase64Alphabet, c);
        if (!p || c == '\0') return std::nullopt;
        accumulator = (accumulator << 6) | uint32_t(p - kBase64Alphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>((accumulator >> bits) & 0xFF));
        }
    }
    if (padding > 2 || bits >= 6) return std::nullopt;
    return out;
}

std::optional<Value> parsePropertyList(std::string_view xml, Error* error) {
    pugi::xml_document doc;
    pugi::xml_parse_result result =
        doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!result) {
        fail(error, std::string("malformed XML: ") + result.description() + " at offset " +
                        std::to_string(result.offset));
        return std::nullopt;
    }
    pugi::xml_node root = doc.document_element();
    if (std::strcmp(root.name(), "plist") != 0) {
        fail(error, "not a property list: top element is <" + std::string(root.name()) + ">");
        return std::nullopt;
    }
    pugi::xml_node top = root.first_child();
    while (top && top.type() != pugi::node_element) top = top.next_sibling();
    if (!top) {
        fail(error, "empty property list");
        return std::nullopt;
    }
    Value value;
    if (!readNode(top, 0, value, error)) return std::nullopt;
    return value;
}

std::string serializePropertyList(const Value& value) {
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    pugi::xml_node plist = doc.append_child("plist");
    plist.append_attribute("version") = "1.0";
    writeNode(plist, value);
    std::ostringstream out;
    doc.save(out, "\t", pugi::format_default | pugi::format_no_empty_element_tags,
             pugi::encoding_utf8);
    return out.str();
}

std::optional<Value> readPropertyList(const std::filesystem::path& file, Error* error) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        setPosixError(error, errno, "cannot open " + file.string());
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        fail(error, file.string() + " is not a regular file");
        return std::nullopt;
    }
    if (static_cast<uintmax_t>(st.st_size) > kMaxPropertyListFileSize) {
        ::close(fd);
        fail(error, file.string() + " is too large for a property list");
        return std::nullopt;
    }
    std::string bytes(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    bytes.resize(done);
    return parsePropertyList(bytes, error);
}

bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes, Error* error) {
    std::filesystem::path dir = file.parent_path();
    if (dir.empty()) dir = ".";
    std::string tmpl = (dir / ("." + file.filename().string() + ".XXXXXX")).string();
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0)
        return setPosixError(error, errno, "cannot create a temporary file in " + dir.string());
    auto abandon = [&](int err, const std::string& what) {
        ::close(fd);
        ::unlink(tmpl.c_str());
        return setPosixError(error, err, what);
    };
    // Keep the permissions of the file being replaced; new files get rw-r--r--.
    struct stat st {};
    mode_t mode = ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    if (::fchmod(fd, mode) != 0) return abandon(errno, "cannot set permissions of " + tmpl);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return abandon(errno, "cannot write " + tmpl);
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) return abandon(errno, "cannot flush " + tmpl);
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmpl.c_str());
        return setPosixError(error, err, "cannot close " + tmpl);
    }
    if (::rename(tmpl.c_str(), file.c_str()) != 0) {
        int err = errno;
        ::unlink(tmpl.c_str());
        return setPosixError(error, err, "cannot replace " + file.string());
    }
    // Make the rename itself durable.
    int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool writePropertyList(const Value& value, const std::filesystem::path& file, Error* error) {
    return writeFileAtomically(file, serializePropertyList(value), error);
}

}  // namespace platform
