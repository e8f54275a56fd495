#include "platform/PropertyList.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <limits>
#include <pugixml.hpp>
#include <utility>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/KeyHash.h"
#include "platform/Log.h"

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

// Decimal digits too many for 64 bits, as a real; nullopt for anything else.
std::optional<double> wholeBeyond64Bits(std::string_view text) {
    text = trimmed(text);
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-'))
        digits.remove_prefix(1);
    if (digits.size() < 19 || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return parseReal(text);
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

// The reader's words for the user; the parser's own for the log (unless
// the caller asked for neither).
bool fail(Error* error, const std::string& reason, const std::string& report) {
    if (error) log("Property list: %s", report.c_str());
    return fail(error, reason);
}

// An element's text as a reader may be shown it: short, one line.
std::string shownText(std::string_view text) {
    std::string shown(text.substr(0, 40));
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text.size() > 40 ? shown + "..." : shown;
}

constexpr const char* kUnreadableEntry = "the file holds an entry that cannot be read";

bool readNode(const pugi::xml_node& node, int depth, Value& out, Error* error,
              bool numbersAsText = false);

bool readDictionary(const pugi::xml_node& node, int depth, Value& out, Error* error,
                    bool numbersAsText) {
    Dictionary dict;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) continue;
        if (std::strcmp(child.name(), "key") != 0)
            return fail(error, kUnreadableEntry,
                        std::string("expected <key> in <dict>, found <") + child.name() + ">");
        std::string key = child.text().get();
        pugi::xml_node valueNode = child.next_sibling();
        while (valueNode && valueNode.type() != pugi::node_element)
            valueNode = valueNode.next_sibling();
        if (!valueNode) return fail(error, kUnreadableEntry, "key \"" + key + "\" has no value");
        Value v;
        if (!readNode(valueNode, depth + 1, v, error, numbersAsText)) return false;
        dict.set(std::move(key), std::move(v));
        child = valueNode;
    }
    out = Value(std::move(dict));
    return true;
}

// A number that cannot be read fails the file, or, where the reader checks
// every value, is kept as its text for that check to replace.
bool unreadableNumber(std::string_view name, std::string_view text, bool asText, Value& out,
                      Error* error) {
    const std::string report = "malformed " + std::string(name) + " \"" + shownText(text) + "\"";
    if (!asText)
        return fail(error, "the file holds \"" + shownText(text) + "\" where a number belongs",
                    report);
    log("Property list: %s, read as text", report.c_str());
    out = Value(std::string(text));
    return true;
}

bool readNode(const pugi::xml_node& node, int depth, Value& out, Error* error, bool numbersAsText) {
    if (depth > kMaxDepth)
        return fail(error, "the file is nested too deeply to be read",
                    "property list nested too deeply");
    std::string_view name = node.name();
    std::string_view text = node.text().get();
    if (name == "dict") return readDictionary(node, depth, out, error, numbersAsText);
    if (name == "array") {
        Value::Array array;
        for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
            if (child.type() != pugi::node_element) continue;
            Value v;
            if (!readNode(child, depth + 1, v, error, numbersAsText)) return false;
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
        if (!i) {
            // A whole number beyond 64 bits is still a number: a real keeps
            // its size and sign, so that range checks see it as out of range.
            auto r = wholeBeyond64Bits(text);
            if (!r) return unreadableNumber(name, text, numbersAsText, out, error);
            out = Value(*r);
            return true;
        }
        out = Value(*i);
        return true;
    }
    if (name == "real") {
        auto r = parseReal(text);
        if (!r) return unreadableNumber(name, text, numbersAsText, out, error);
        out = Value(*r);
        return true;
    }
    if (name == "data") {
        auto d = base64Decode(text);
        if (!d) return fail(error, kUnreadableEntry, "malformed base64 data");
        out = Value(std::move(*d));
        return true;
    }
    if (name == "date") {
        auto d = parseDate(text);
        if (!d) return fail(error, kUnreadableEntry, "malformed date \"" + shownText(text) + "\"");
        out = Value(*d);
        return true;
    }
    return fail(error, kUnreadableEntry, "unknown element <" + std::string(name) + ">");
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

struct StringWriter : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override {
        out.append(static_cast<const char*>(data), size);
    }
};

constexpr unsigned kWriteFlags = pugi::format_default | pugi::format_no_empty_element_tags;

// Reads a file from its start in blocks, keeping only what is not consumed.
class BlockReader {
public:
    explicit BlockReader(int fd) : fd_(fd) {}
    // Makes at least `count` bytes from `from` available; false at the end.
    bool have(size_t from, size_t count) {
        while (buffer_.size() < from + count) {
            if (atEnd_) return false;
            const size_t start = buffer_.size();
            buffer_.resize(start + kBlock);
            ssize_t n;
            do n = ::read(fd_, buffer_.data() + start, kBlock);
            while (n < 0 && errno == EINTR);
            buffer_.resize(start + size_t(std::max<ssize_t>(n, 0)));
            if (n <= 0) {
                atEnd_ = true;
                failed_ = n < 0;
            }
        }
        return true;
    }
    // Forgets everything before `position`; returns by how much buffer
    // positions shift down (0 while less than a block would go).
    size_t consume(size_t position) {
        if (position < kBlock) return 0;
        buffer_.erase(0, position);
        base_ += position;
        return position;
    }
    std::string_view bytes() const { return buffer_; }
    uint64_t base() const { return base_; }
    bool failed() const { return failed_; }

private:
    static constexpr size_t kBlock = 4 << 20;
    int fd_;
    std::string buffer_;
    uint64_t base_ = 0;  // file offset of buffer_[0]
    bool atEnd_ = false, failed_ = false;
};

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

namespace {

// Where the first character after a byte-order mark and blanks stands in
// `bytes` (the mark removed); npos when there is none.
size_t firstSignificant(std::string_view& bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    return bytes.find_first_not_of(" \t\r\n");
}

// The start of a property list: markup after an optional byte-order mark and
// blanks. Anything else is no property list, however long.
bool startsLikeXml(std::string_view bytes) {
    const size_t first = firstSignificant(bytes);
    return first != std::string_view::npos && bytes[first] == '<';
}

// The parser's report is for the log; the reason says in a reader's words
// where the damage lies.
bool failedParse(const pugi::xml_parse_result* result, std::string_view xml, Error* error) {
    if (result)
        log("Property list: the XML parser reports \"%s\" at offset %td", result->description(),
            result->offset);
    if (trimmed(xml).empty()) return fail(error, "the file is empty");
    if (!startsLikeXml(xml)) return fail(error, "the file is not a property list");
    const size_t at =
        result ? std::min(size_t(std::max<ptrdiff_t>(result->offset, 0)), xml.size()) : 0;
    const size_t line = 1 + size_t(std::count(xml.begin(), xml.begin() + ptrdiff_t(at), '\n'));
    return fail(error, "the file is cut short or damaged near line " + std::to_string(line));
}

bool loadXml(pugi::xml_document& doc, std::string_view xml, Error* error) {
    if (!startsLikeXml(xml)) return failedParse(nullptr, xml, error);
    const pugi::xml_parse_result result =
        doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!result) failedParse(&result, xml, error);
    return bool(result);
}

// The same on a buffer of its own, parsed where it lies: a large file costs
// its size once, not twice. (Parsing rewrites text only within elements
// already read, so the lines before the damage still count right.)
bool loadXmlInPlace(pugi::xml_document& doc, std::string& xml, Error* error) {
    if (!startsLikeXml(xml)) return failedParse(nullptr, xml, error);
    const pugi::xml_parse_result result =
        doc.load_buffer_inplace(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!result) failedParse(&result, xml, error);
    return bool(result);
}

}  // namespace

namespace {

std::optional<Value> readDocument(const pugi::xml_document& doc, Error* error,
                                  bool numbersAsText = false) {
    pugi::xml_node root = doc.document_element();
    if (std::strcmp(root.name(), "plist") != 0) {
        fail(error, "the file is not a property list",
             "top element is <" + std::string(root.name()) + ">");
        return std::nullopt;
    }
    pugi::xml_node top = root.first_child();
    while (top && top.type() != pugi::node_element) top = top.next_sibling();
    if (!top) {
        fail(error, "the file holds nothing", "empty property list");
        return std::nullopt;
    }
    Value value;
    if (!readNode(top, 0, value, error, numbersAsText)) return std::nullopt;
    return value;
}

}  // namespace

std::optional<Value> parsePropertyList(std::string_view xml, Error* error) {
    pugi::xml_document doc;
    if (!loadXml(doc, xml, error)) return std::nullopt;
    return readDocument(doc, error);
}

std::string serializePropertyList(const Value& value) {
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    pugi::xml_node plist = doc.append_child("plist");
    plist.append_attribute("version") = "1.0";
    writeNode(plist, value);
    StringWriter out;
    doc.save(out, "\t", kWriteFlags, pugi::encoding_utf8);
    return std::move(out.out);
}

std::optional<Value> readPropertyList(const std::filesystem::path& file, Error* error,
                                      uintmax_t maxFileSize, bool numbersAsText) {
    // Not blocking: a FIFO put in its place is refused below, not waited on.
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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
    if (static_cast<uintmax_t>(st.st_size) > maxFileSize) {
        ::close(fd);
        fail(error, file.string() + " is too large for a property list");
        return std::nullopt;
    }
    // What is not markup at its start is no property list: told before a
    // large file is read.
    char head[512];
    ssize_t got;
    do got = ::pread(fd, head, sizeof head, 0);
    while (got < 0 && errno == EINTR);
    std::string_view start(head, size_t(std::max<ssize_t>(got, 0)));
    const size_t first = firstSignificant(start);
    if (first != std::string_view::npos && start[first] != '<') {
        ::close(fd);
        log("Property list: %s does not start with markup", file.c_str());
        fail(error, "the file is not a property list");
        return std::nullopt;
    }
    // Read in blocks: a NUL byte, which no XML holds, ends it there (a file
    // of zeros is not read whole first).
    constexpr size_t kBlock = 1 << 20;
    std::string bytes;
    bytes.reserve(static_cast<size_t>(st.st_size));
    std::string block(std::min(kBlock, static_cast<size_t>(st.st_size)), '\0');
    while (bytes.size() < static_cast<size_t>(st.st_size)) {
        const ssize_t n = ::read(fd, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const std::string_view got(block.data(), size_t(n));
        const size_t zero = got.find('\0');
        bytes.append(got.substr(0, zero));
        if (zero != std::string_view::npos) {
            ::close(fd);
            log("Property list: %s holds a NUL byte at offset %zu", file.c_str(), bytes.size());
            const size_t line = 1 + size_t(std::count(bytes.begin(), bytes.end(), '\n'));
            fail(error, bytes.empty()
                            ? "the file is not a property list"
                            : "the file is cut short or damaged near line " + std::to_string(line));
            return std::nullopt;
        }
    }
    ::close(fd);
    pugi::xml_document doc;
    if (!loadXmlInPlace(doc, bytes, error)) return std::nullopt;
    return readDocument(doc, error, numbersAsText);
}

bool writeAll(int fd, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes, Error* error) {
    return writeFileAtomically(
        file, [bytes](int fd) { return writeAll(fd, bytes); }, error);
}

namespace {

// ".<name>.XXXXXX", the temporary files of writeFileAtomically for `name`.
bool isTemporaryFor(std::string_view entry, std::string_view name) {
    constexpr size_t kRandom = 6;
    if (entry.size() != name.size() + 2 + kRandom || entry[0] != '.' ||
        entry.substr(1, name.size()) != name || entry[name.size() + 1] != '.')
        return false;
    for (char c : entry.substr(name.size() + 2))
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

// Where the file system keeps no locks, a temporary file is taken for left
// over only at this age.
constexpr time_t kUnlockedTemporaryAge = 60 * 60;

}  // namespace

std::filesystem::path linkTarget(const std::filesystem::path& file) {
    std::filesystem::path at = file;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(at, ec))) return at;
        const std::filesystem::path next = std::filesystem::read_symlink(at, ec);
        if (ec) return at;
        at = next.is_absolute() ? next : at.parent_path() / next;
    }
    return at;
}

void removeStaleTemporaryFiles(const std::filesystem::path& file) {
    const std::filesystem::path target = linkTarget(file);
    std::filesystem::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    const int folderFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return;
    const int listFd = ::dup(folderFd);
    DIR* listing = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!listing) {
        if (listFd >= 0) ::close(listFd);
        ::close(folderFd);
        return;
    }
    const std::string name = target.filename().string();
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(listing)) {
        if (!isTemporaryFor(entry->d_name, name)) continue;
        const int fd = ::openat(folderFd, entry->d_name,
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) continue;
        struct stat held {};
        bool remove = false;
        if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode)) {
            // A writer holds its temporary file locked until it is renamed
            // or removed; the name is checked again under the lock, so a new
            // file that took it meanwhile is never touched.
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                struct stat named {};
                remove = ::fstatat(folderFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                         named.st_dev == held.st_dev && named.st_ino == held.st_ino;
            } else if (errno != EWOULDBLOCK && errno != EINTR) {
                remove = now - held.st_mtime > kUnlockedTemporaryAge;
            }
        }
        if (remove && ::unlinkat(folderFd, entry->d_name, 0) == 0)
            log("Removed %s/%s, left by a write that did not finish", dir.c_str(), entry->d_name);
        ::close(fd);
    }
    ::closedir(listing);
    ::close(folderFd);
}

bool writeFileAtomically(const std::filesystem::path& link, const std::function<bool(int fd)>& fill,
                         Error* error) {
    const std::filesystem::path file = linkTarget(link);
    std::filesystem::path dir = file.parent_path();
    if (dir.empty()) dir = ".";
    // Keep the permissions of the file being replaced; new files get rw-r--r--.
    struct stat st {};
    const bool exists = ::stat(file.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode))
        return setPosixError(error, EINVAL, file.string() + " is not a regular file");
    const mode_t mode = exists ? (st.st_mode & 07777) : 0644;
    removeStaleTemporaryFiles(file);
    std::string tmpl;
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 100; ++tries) {
        tmpl = (dir / ("." + file.filename().string() + ".XXXXXX")).string();
        fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
        if (fd < 0)
            return setPosixError(error, errno, "cannot create a temporary file in " + dir.string());
        // Held until the file is renamed or removed: a cleaner that can take
        // the lock knows no writer is left. One removed before the lock was
        // taken is given up for another.
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) continue;
        struct stat named {
        }, opened{};
        if (::stat(tmpl.c_str(), &named) != 0 || ::fstat(fd, &opened) != 0 ||
            named.st_ino != opened.st_ino || named.st_dev != opened.st_dev) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0)
        return setPosixError(error, EAGAIN, "cannot create a temporary file in " + dir.string());
    auto abandon = [&](int err, const std::string& what) {
        ::unlink(tmpl.c_str());
        ::close(fd);
        return setPosixError(error, err, what);
    };
    if (::fchmod(fd, mode) != 0) return abandon(errno, "cannot set permissions of " + tmpl);
    errno = 0;
    if (!fill(fd)) return abandon(errno ? errno : EIO, "cannot write " + tmpl);
    if (::fsync(fd) != 0) return abandon(errno, "cannot flush " + tmpl);
    if (::rename(tmpl.c_str(), file.c_str()) != 0)
        return abandon(errno, "cannot replace " + file.string());
    if (::close(fd) != 0) return setPosixError(error, errno, "cannot close " + file.string());
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

std::string serializeArrayElement(const Value& element) {
    pugi::xml_document doc;
    writeNode(doc, element);
    StringWriter writer;
    // Depth 2: inside <plist> and its <array>.
    doc.first_child().print(writer, "\t", kWriteFlags, pugi::encoding_utf8, 2);
    return std::move(writer.out);
}

std::optional<Value> parseArrayElement(std::string_view bytes, Error* error) {
    pugi::xml_document doc;
    if (!loadXml(doc, bytes, error)) return std::nullopt;
    pugi::xml_node node = doc.document_element();
    if (!node) {
        fail(error, "no element");
        return std::nullopt;
    }
    Value value;
    if (!readNode(node, 1, value, error)) return std::nullopt;
    return value;
}

namespace {

bool plainText(std::string_view text) {
    for (char c : text)
        if (c == '&' || c == '<' || c == '>' || static_cast<unsigned char>(c) < 32) return false;
    return true;
}

enum class Kind { Other, String, Key, Integer, Real, Date, Data, True, False, Dict, Array };

Kind kindOf(std::string_view name) {
    switch (name.size()) {
        case 3:
            return name == "key" ? Kind::Key : Kind::Other;
        case 4:
            return name == "real"   ? Kind::Real
                   : name == "date" ? Kind::Date
                   : name == "data" ? Kind::Data
                   : name == "true" ? Kind::True
                   : name == "dict" ? Kind::Dict
                                    : Kind::Other;
        case 5:
            return name == "false" ? Kind::False : name == "array" ? Kind::Array : Kind::Other;
        case 6:
            return name == "string" ? Kind::String : Kind::Other;
        case 7:
            return name == "integer" ? Kind::Integer : Kind::Other;
        default:
            return Kind::Other;
    }
}

bool leafWritesBack(Kind kind, std::string_view text) {
    switch (kind) {
        case Kind::String:
        case Kind::Key:
            return true;
        case Kind::Integer: {
            auto i = parseInteger(text);
            char buffer[24];
            auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, i.value_or(0));
            return i && ec == std::errc() && std::string_view(buffer, size_t(end - buffer)) == text;
        }
        case Kind::Real: {
            auto r = parseReal(text);
            if (!r || !std::isfinite(*r)) return false;
            char buffer[64];
            auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, *r);
            return ec == std::errc() && std::string_view(buffer, size_t(end - buffer)) == text;
        }
        case Kind::Date: {
            auto d = parseDate(text);
            return d && formatDate(*d) == text;
        }
        case Kind::Data: {
            auto d = base64Decode(text);
            return d && base64Encode(*d) == text;
        }
        default:
            return false;
    }
}

// Whether an element's bytes are exactly what writing its value gives, told
// from the parsed nodes without building the value; for the common case
// (plain text, known elements) only. "No" means "not sure": ask the value.
class WritesBack {
public:
    explicit WritesBack(std::string_view bytes) : bytes_(bytes) {}

    bool check(const pugi::xml_node& root, std::string_view key, pugi::xml_node* keyValue) {
        return node(root, 0, key, keyValue) && at_ == bytes_.size();
    }

private:
    bool expect(std::string_view s) {
        // An empty element's text has no bytes at all (and no address).
        if (s.empty()) return true;
        if (bytes_.size() - at_ < s.size() || std::memcmp(bytes_.data() + at_, s.data(), s.size()))
            return false;
        at_ += s.size();
        return true;
    }
    bool expect(char c) {
        if (at_ >= bytes_.size() || bytes_[at_] != c) return false;
        ++at_;
        return true;
    }
    bool indent(int depth) {
        // Never destroyed: a save on another thread may parse at exit.
        static const std::string& tabs = *new std::string(kMaxDepth + 2, '\t');
        return expect(std::string_view(tabs).substr(0, size_t(depth) + 2));
    }
    bool closing(std::string_view name) {
        return expect('<') && expect('/') && expect(name) && expect('>') && expect('\n');
    }

    bool node(const pugi::xml_node& n, int depth, std::string_view key, pugi::xml_node* keyValue) {
        if (depth > kMaxDepth - 2 || n.first_attribute()) return false;
        const std::string_view name = n.name();
        const Kind kind = kindOf(name);
        if (kind == Kind::Other || !indent(depth) || !expect('<') || !expect(name) || !expect('>'))
            return false;
        const pugi::xml_node child = n.first_child();
        if (kind == Kind::True || kind == Kind::False) return !child && closing(name);
        if (kind == Kind::Dict || kind == Kind::Array) {
            if (!child) return closing(name);
            if (!expect('\n')) return false;
            const size_t firstKey = keys_.size();
            bool ok = true;
            for (pugi::xml_node c = child; c && ok; c = c.next_sibling()) {
                if (c.type() != pugi::node_element) return false;
                if (kind == Kind::Dict) {
                    const pugi::xml_node value = c.next_sibling();
                    if (kindOf(c.name()) != Kind::Key || !value ||
                        value.type() != pugi::node_element || !node(c, depth + 1, {}, nullptr))
                        return false;
                    const std::string_view k = c.text().get();
                    keys_.push_back(k);
                    if (keyValue && k == key) *keyValue = value;
                    c = value;
                }
                ok = node(c, depth + 1, {}, nullptr);
            }
            if (kind == Kind::Dict) ok = ok && uniqueKeys(firstKey);
            keys_.resize(firstKey);
            return ok && indent(depth) && closing(name);
        }
        std::string_view text;
        if (child) {
            if (child.type() != pugi::node_pcdata || child.next_sibling()) return false;
            text = child.value();
        }
        return plainText(text) && leafWritesBack(kind, text) && expect(text) && closing(name);
    }

    // Without repeats (a repeated key is read once, so it is not written back).
    bool uniqueKeys(size_t first) {
        const size_t count = keys_.size() - first;
        size_t slots = 64;
        while (slots < count * 2) slots *= 2;
        seen_.assign(slots, 0);
        for (size_t i = first; i < keys_.size(); ++i) {
            size_t slot = keyHash(keys_[i]) & (slots - 1);
            for (; seen_[slot] != 0; slot = (slot + 1) & (slots - 1))
                if (keys_[seen_[slot] - 1] == keys_[i]) return false;
            seen_[slot] = uint32_t(i + 1);
        }
        return true;
    }

    std::string_view bytes_;
    size_t at_ = 0;
    std::vector<std::string_view> keys_;
    std::vector<uint32_t> seen_;
};

// What one element of an array file holds; nullopt when its bytes are not
// well-formed XML.
std::optional<ArrayElementInfo> examineElement(std::string_view bytes, std::string_view key) {
    pugi::xml_document doc;
    if (!doc.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_utf8))
        return std::nullopt;
    const pugi::xml_node root = doc.document_element();
    if (!root) return std::nullopt;
    for (pugi::xml_node other = root.next_sibling(); other; other = other.next_sibling())
        if (other.type() == pugi::node_element) return std::nullopt;
    ArrayElementInfo info;
    info.span.size = bytes.size();
    info.isDictionary = std::strcmp(root.name(), "dict") == 0;
    pugi::xml_node keyValue;
    if (WritesBack(bytes).check(root, key, info.isDictionary ? &keyValue : nullptr)) {
        if (keyValue && !readNode(keyValue, 2, info.key, nullptr)) return std::nullopt;
        info.canonical = true;
        return info;
    }
    Value value;
    Error error;
    if (readNode(root, 1, value, &error)) {
        if (info.isDictionary) info.key = value.dictionary()[key];
        // Not sure: compare with what writing the value gives (only our
        // indentation can give the same bytes).
        info.canonical = bytes.starts_with("\t\t<") && serializeArrayElement(value) == bytes;
        return info;
    }
    // A value that cannot be read: the rest of the element still tells
    // whose it is.
    info.readable = false;
    info.problem = error.failureReason;
    if (info.isDictionary)
        for (pugi::xml_node k = root.child("key"); k; k = k.next_sibling("key"))
            if (k.text().get() == key) {
                pugi::xml_node v = k.next_sibling();
                while (v && v.type() != pugi::node_element) v = v.next_sibling();
                if (v && std::strcmp(v.name(), "string") == 0) info.key = Value(v.text().get());
                break;
            }
    return info;
}

// Finds the elements of the top-level array of an XML property list in a
// file read from its start, holding only a few blocks and the element being
// read. It only tells where markup starts and ends; each element's bytes are
// then parsed on their own.
class ArraySplitter {
public:
    explicit ArraySplitter(int fd) : in_(fd) {}

    bool head() {
        if (in_.have(0, 3) && in_.bytes().starts_with("\xEF\xBB\xBF")) at_ = 3;
        // The declaration, comments, the document type.
        for (;;) {
            if (!skipMisc()) return false;
            if (startsWith("<!DOCTYPE")) {
                if (!skipPastClose(true)) return false;
                continue;
            }
            break;
        }
        if (!startTag("plist")) return false;
        if (!skipMisc()) return false;
        if (startsWith("<array/>")) {
            at_ += 8;
            emptyArray_ = true;
            return true;
        }
        return startTag("array");
    }

    // The next element's span (offsets within the buffer), or false at the
    // end of the array (then `ok()` tells whether the rest was well-formed).
    bool next(size_t& start, size_t& end) {
        if (emptyArray_) return finish();
        const size_t previous = at_;
        if (!skipMisc()) return fail();
        if (startsWith("</array")) {
            at_ += 7;
            return finish();
        }
        if (!have(0, 2) || bytes()[at_] != '<' || !nameStart(bytes()[at_ + 1])) return fail();
        // From the start of its line when only blanks lie before it there.
        size_t first = at_;
        while (first > previous && (bytes()[first - 1] == ' ' || bytes()[first - 1] == '\t'))
            --first;
        start = first == previous || bytes()[first - 1] == '\n' ? first : at_;
        // In our own layout an element ends where a line indented as its
        // first one opens the next (or the array closes); the element's own
        // parse proves it.
        const bool ours = at_ - start == 2 && bytes()[start] == '\t' && bytes()[start + 1] == '\t';
        if (ours ? !skipOurElement() : !skipElement()) return fail();
        if (have(0, 1) && bytes()[at_] == '\n') ++at_;
        end = at_;
        return true;
    }

    bool ok() const { return ok_; }
    BlockReader& reader() { return in_; }
    // Everything before `position` may go.
    void consume(size_t position) { at_ -= in_.consume(position); }

private:
    std::string_view bytes() const { return in_.bytes(); }
    bool have(size_t offset, size_t count) { return in_.have(at_ + offset, count); }
    bool startsWith(std::string_view s) {
        return have(0, s.size()) && bytes().substr(at_, s.size()) == s;
    }
    static bool nameStart(char c) {
        return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':' ||
               static_cast<unsigned char>(c) >= 0x80;
    }
    // Moves past the next `s`; false at the end of the file.
    bool skipPast(std::string_view s) {
        size_t from = at_;
        for (;;) {
            const size_t found = bytes().find(s, from);
            if (found != std::string_view::npos) {
                at_ = found + s.size();
                return true;
            }
            from = std::max(from, bytes().size() - std::min(bytes().size(), s.size() - 1));
            if (!in_.have(bytes().size(), 1)) return false;
        }
    }
    // Moves to the next '<'; false at the end.
    bool toMarkup() {
        for (;;) {
            const size_t found = bytes().find('<', at_);
            if (found != std::string_view::npos) {
                at_ = found;
                return true;
            }
            at_ = bytes().size();
            if (!in_.have(at_, 1)) return false;
        }
    }
    // Past a tag's closing '>', minding quoted attribute values; `selfClosing`
    // tells "/>".
    bool skipTag(bool* selfClosing) {
        // Most tags hold no quoted value: straight to their '>'.
        for (size_t from = at_;;) {
            const size_t close = bytes().find('>', from);
            if (close == std::string_view::npos) {
                from = bytes().size();
                if (!in_.have(bytes().size(), 1)) return false;
                continue;
            }
            bool quoted = false;
            for (size_t i = at_; i < close && !quoted; ++i)
                quoted = bytes()[i] == '"' || bytes()[i] == '\'';
            if (quoted) break;
            if (selfClosing) *selfClosing = bytes()[close - 1] == '/';
            at_ = close + 1;
            return true;
        }
        if (!skipPastClose(false)) return false;
        if (selfClosing) *selfClosing = bytes()[at_ - 2] == '/';
        return true;
    }
    // Past the first '>' outside quoted values and, with `brackets`, outside
    // a "[...]" subset.
    bool skipPastClose(bool brackets) {
        char quote = 0;
        int depth = 0;
        for (;; ++at_) {
            if (!have(0, 1)) return false;
            const char c = bytes()[at_];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (brackets && c == '[') {
                ++depth;
            } else if (brackets && c == ']') {
                --depth;
            } else if (c == '>' && depth <= 0) {
                ++at_;
                return true;
            }
        }
    }
    // Blanks, comments and processing instructions.
    bool skipMisc() {
        for (;;) {
            while (have(0, 1) && isSpace(bytes()[at_])) ++at_;
            if (startsWith("<!--")) {
                if (!skipPast("-->")) return false;
            } else if (startsWith("<?")) {
                if (!skipPast("?>")) return false;
            } else {
                return true;
            }
        }
    }
    // "<name" followed by attributes and '>' (not "/>").
    bool startTag(std::string_view name) {
        if (!startsWith("<") || !have(0, name.size() + 2) ||
            bytes().substr(at_ + 1, name.size()) != name)
            return false;
        const char after = bytes()[at_ + 1 + name.size()];
        if (!isSpace(after) && after != '>' && after != '/') return false;
        bool selfClosing = false;
        return skipTag(&selfClosing) && !selfClosing;
    }
    bool skipElement() {
        int depth = 0;
        for (;;) {
            if (!toMarkup() || !have(0, 2)) return false;
            const char c = bytes()[at_ + 1];
            if (c == '!') {
                if (startsWith("<!--")) {
                    if (!skipPast("-->")) return false;
                } else if (startsWith("<![CDATA[")) {
                    if (!skipPast("]]>")) return false;
                } else {
                    return false;
                }
                continue;
            }
            if (c == '?') {
                if (!skipPast("?>")) return false;
                continue;
            }
            bool selfClosing = false;
            if (!skipTag(&selfClosing)) return false;
            if (c == '/') {
                --depth;
            } else if (!selfClosing && ++depth > kMaxDepth) {
                return false;
            }
            if (depth == 0) return true;
        }
    }
    bool skipOurElement() {
        size_t from = at_;
        for (;;) {
            const size_t line = bytes().find("\n\t", from);
            if (line == std::string_view::npos || line + 5 > bytes().size()) {
                from = line == std::string_view::npos ? std::max(from, bytes().size() - 1) : line;
                if (!in_.have(bytes().size(), 1)) return false;
                continue;
            }
            const bool next =
                bytes()[line + 2] == '\t' && bytes()[line + 3] == '<' && bytes()[line + 4] != '/';
            if (next || bytes().substr(line + 2, 2) == "</") {
                at_ = line;
                return true;
            }
            from = line + 1;
        }
    }
    // After the array: "</plist>", then only blanks, comments and
    // processing instructions.
    bool finish() {
        if (!(emptyArray_ ? true : skipTag(nullptr))) return fail();
        emptyArray_ = false;
        if (!skipMisc() || !startsWith("</plist")) return fail();
        at_ += 7;
        if (!skipTag(nullptr) || !skipMisc()) return fail();
        ok_ = !have(0, 1) && !in_.failed();
        return false;
    }
    bool fail() {
        ok_ = false;
        return false;
    }

    BlockReader in_;
    size_t at_ = 0;
    bool emptyArray_ = false;
    bool ok_ = false;
};

}  // namespace

bool scanArrayFile(int fd, std::string_view key,
                   const std::function<bool(ArrayElementInfo&&)>& element) {
    ArraySplitter split(fd);
    if (!split.head()) return false;
    std::vector<std::pair<size_t, size_t>> pending;  // found, not yet examined
    // Examines the pending elements on every processor, hands them on in
    // file order, and lets their bytes go.
    auto flush = [&] {
        std::vector<std::optional<ArrayElementInfo>> found(pending.size());
        const std::string_view bytes = split.reader().bytes();
        constexpr size_t kPerTask = 64;
        apply((pending.size() + kPerTask - 1) / kPerTask, DispatchQueue::global(),
              [&](size_t task) {
                  const size_t end = std::min(pending.size(), (task + 1) * kPerTask);
                  for (size_t i = task * kPerTask; i < end; ++i)
                      found[i] =
                          examineElement(bytes.substr(pending[i].first, pending[i].second), key);
              });
        for (size_t i = 0; i < found.size(); ++i) {
            if (!found[i]) return false;
            found[i]->span.offset = split.reader().base() + pending[i].first;
            if (!element(std::move(*found[i]))) return false;
        }
        if (!pending.empty()) split.consume(pending.back().first + pending.back().second);
        pending.clear();
        return true;
    };
    constexpr size_t kFlushBytes = 4 << 20;
    size_t start = 0, end = 0;
    while (split.next(start, end)) {
        pending.emplace_back(start, end - start);
        if (end - pending.front().first >= kFlushBytes && !flush()) return false;
    }
    return split.ok() && flush();
}

}  // namespace platform
