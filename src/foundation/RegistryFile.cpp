#include "foundation/RegistryFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <sstream>

#include "foundation/LogEntry.h"
#include "platform/AsciiCase.h"
#include "platform/DurableFile.h"

namespace vorn {
namespace {

// A logical line as it is kept and written back. No valid value line ends in a
// CR or a backslash; a damaged one that did would read back differently once
// written (a final CR is taken for the line end, a final backslash joins the
// next line, which may be a value a later write adds), so those are dropped.
std::string WholeLine(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\\')) line.pop_back();
    return line;
}

constexpr const char* kHeader = "REGEDIT4";

std::string Joined(const std::vector<std::string>& lines) {
    std::string content;
    for (const std::string& line : lines) {
        content += line;
        content += '\n';
    }
    return content;
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// Reads a quoted text starting at line[pos] == '"'; pos ends after the closing quote.
std::optional<std::string> Unquote(const std::string& line, std::size_t& pos) {
    if (pos >= line.size() || line[pos] != '"') {
        return std::nullopt;
    }
    std::string out;
    for (++pos; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (c == '\\' && pos + 1 < line.size()) {
            out.push_back(line[++pos]);
        } else if (c == '"') {
            ++pos;
            return out;
        } else {
            out.push_back(c);
        }
    }
    return std::nullopt;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char pair[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        if (i != 0) {
            out.push_back(',');
        }
        out += pair;
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> ParseHexBytes(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::size_t i = 0;
    const auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i == text.size()) break;
        if (i + 1 >= text.size()) return std::nullopt;
        const int hi = hexValue(text[i]);
        const int lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        i += 2;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i < text.size()) {
            if (text[i] != ',') return std::nullopt;
            ++i;
        }
    }
    return bytes;
}

bool IsSection(const std::string& line) { return !line.empty() && line.front() == '['; }

bool NeedsHexForm(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// The advisory lock that serialises every change of one store file, held on a
// file beside it (the store itself is replaced by rename on every write).
class FileLock {
public:
    explicit FileLock(const std::string& storePath) {
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(storePath).parent_path(), error);
        fd_ = ::open((storePath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Store paths whose unreadable file has been reported; a later successful read
// forgets the path, so a new failure is reported again.
class UnreadableStores {
public:
    // True when the path was not reported yet (the caller logs it now).
    static bool Report(const std::string& path) {
        std::lock_guard lock(mutex_);
        return paths_.insert(path).second;
    }
    static void Forget(const std::string& path) {
        std::lock_guard lock(mutex_);
        paths_.erase(path);
    }

private:
    static inline std::mutex mutex_;  // guards paths_
    static inline std::set<std::string> paths_;
};

}  // namespace

RegistryFile::RegistryFile(std::string path, std::string keyName)
    : path_(std::move(path)), keyName_(std::move(keyName)) {}

bool RegistryFile::Exists() const {
    std::error_code error;
    return std::filesystem::is_regular_file(path_, error);
}

bool RegistryFile::Create() const {
    // Anything already in the store's place is kept, even when it cannot be read.
    const auto present = [this] {
        std::error_code error;
        return std::filesystem::exists(std::filesystem::symlink_status(path_, error));
    };
    if (present() && !HasStaleTemps()) {
        return true;
    }
    FileLock lock(path_);
    if (!lock.Held()) {
        return present();
    }
    RemoveStaleTemps();
    return present() || WriteNew({kHeader, "", "[" + keyName_ + "]"});
}

bool RegistryFile::WriteNew(const std::vector<std::string>& lines) const {
    // A store made afresh holds nothing to lose, so it does not wait for the
    // disk: a crash leaves no store or an empty one, which the next start
    // makes again. Every later write replaces it durably.
    const std::string content = Joined(lines);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool written = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ::close(fd);
    if (!written) {
        ::unlink(path_.c_str());
    }
    return written;
}

bool RegistryFile::IsTempName(const std::string& fileName) const {
    const std::string prefix = std::filesystem::path(path_).filename().string() + ".";
    if (fileName.size() != prefix.size() + 6 || fileName.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    for (std::size_t i = prefix.size(); i < fileName.size(); ++i) {
        const char c = fileName[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            return false;
        }
    }
    return true;
}

bool RegistryFile::HasStaleTemps() const {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
    for (std::filesystem::directory_iterator it(folder.empty() ? "." : folder, error), end; !error && it != end;
         it.increment(error)) {
        if (IsTempName(it->path().filename().string())) {
            return true;
        }
    }
    return false;
}

void RegistryFile::RemoveStaleTemps() const {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
    std::vector<std::filesystem::path> stale;
    for (std::filesystem::directory_iterator it(folder.empty() ? "." : folder, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code typeError;
        if (IsTempName(it->path().filename().string()) && it->is_regular_file(typeError)) {
            stale.push_back(it->path());
        }
    }
    for (const auto& path : stale) {
        std::error_code removeError;
        std::filesystem::remove(path, removeError);
    }
}

std::string RegistryFile::FormatValueLine(const std::string& name, const RegistryData& data) {
    std::string line = Quote(name) + "=";
    switch (data.type) {
        case RegistryType::String:
            if (NeedsHexForm(data.text)) {
                std::vector<std::uint8_t> bytes(data.text.begin(), data.text.end());
                bytes.push_back(0);
                line += "hex(1):" + HexBytes(bytes);
            } else {
                line += Quote(data.text);
            }
            break;
        case RegistryType::Dword: {
            char digits[16];
            std::snprintf(digits, sizeof digits, "%08x", data.dword);
            line += std::string("dword:") + digits;
            break;
        }
        case RegistryType::Binary:
            line += "hex:" + HexBytes(data.bytes);
            break;
        case RegistryType::MultiString: {
            std::vector<std::uint8_t> bytes;
            for (const std::string& s : data.strings) {
                bytes.insert(bytes.end(), s.begin(), s.end());
                bytes.push_back(0);
            }
            bytes.push_back(0);
            line += "hex(7):" + HexBytes(bytes);
            break;
        }
        case RegistryType::None:
            line += "\"\"";
            break;
    }
    return line;
}

std::optional<std::pair<std::string, RegistryData>> RegistryFile::ParseValueLine(const std::string& line) {
    std::size_t pos = 0;
    std::optional<std::string> name = Unquote(line, pos);
    if (!name || pos >= line.size() || line[pos] != '=') {
        return std::nullopt;
    }
    const std::string rest = line.substr(pos + 1);
    RegistryData data;
    if (!rest.empty() && rest.front() == '"') {
        std::size_t at = 0;
        std::optional<std::string> text = Unquote(rest, at);
        if (!text) return std::nullopt;
        data.type = RegistryType::String;
        data.text = *text;
    } else if (rest.rfind("dword:", 0) == 0) {
        const std::string digits = rest.substr(6);
        if (digits.empty() || digits.size() > 8 ||
            digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return std::nullopt;
        }
        data.type = RegistryType::Dword;
        data.dword = static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16));
    } else if (rest.rfind("hex:", 0) == 0) {
        auto bytes = ParseHexBytes(rest.substr(4));
        if (!bytes) return std::nullopt;
        data.type = RegistryType::Binary;
        data.bytes = std::move(*bytes);
    } else if (rest.rfind("hex(1):", 0) == 0) {
        auto bytes = ParseHexBytes(rest.substr(7));
        if (!bytes) return std::nullopt;
        // The form ends in the one terminator written with it; NULs before it
        // belong to the text.
        if (!bytes->empty() && bytes->back() == 0) bytes->pop_back();
        data.type = RegistryType::String;
        data.text.assign(bytes->begin(), bytes->end());
    } else if (rest.rfind("hex(4):", 0) == 0) {
        auto bytes = ParseHexBytes(rest.substr(7));
        if (!bytes || bytes->size() != 4) return std::nullopt;
        data.type = RegistryType::Dword;
        data.dword = static_cast<std::uint32_t>((*bytes)[0]) | (static_cast<std::uint32_t>((*bytes)[1]) << 8) |
                     (static_cast<std::uint32_t>((*bytes)[2]) << 16) | (static_cast<std::uint32_t>((*bytes)[3]) << 24);
    } else if (rest.rfind("hex(7):", 0) == 0) {
        auto bytes = ParseHexBytes(rest.substr(7));
        if (!bytes) return std::nullopt;
        data.type = RegistryType::MultiString;
        std::string current;
        for (std::uint8_t b : *bytes) {
            if (b == 0) {
                if (current.empty()) break;  // the empty text that ends the list
                data.strings.push_back(current);
                current.clear();
            } else {
                current.push_back(static_cast<char>(b));
            }
        }
        if (!current.empty()) data.strings.push_back(current);
    } else {
        return std::nullopt;  // deletions, other types and damaged lines
    }
    return std::make_pair(std::move(*name), std::move(data));
}

std::vector<std::string> RegistryFile::ReadLines(ReadState& state, int& error) const {
    std::vector<std::string> lines;
    error = 0;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        state = error == ENOENT ? ReadState::Missing : ReadState::Failed;
        return lines;
    }
    std::string content;
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = errno;
            break;
        }
        if (n == 0) {
            break;
        }
        content.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (error != 0) {
        state = ReadState::Failed;
        return lines;
    }
    state = ReadState::Read;

    std::istringstream in(content);
    std::string line;
    std::string pending;  // a hex value continued over several lines with a trailing "\"
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!pending.empty()) {
            std::size_t start = line.find_first_not_of(" \t");
            pending += (start == std::string::npos) ? std::string() : line.substr(start);
        } else {
            pending = line;
        }
        if (!pending.empty() && pending.back() == '\\' && pending.find("=hex") != std::string::npos) {
            pending.pop_back();
            continue;
        }
        lines.push_back(WholeLine(std::move(pending)));
        pending.clear();
    }
    if (!pending.empty()) {
        lines.push_back(WholeLine(std::move(pending)));  // a continuation cut off by the end of the file
    }
    return lines;
}

std::optional<RegistryFile::Values> RegistryFile::Load() const {
    ReadState state = ReadState::Failed;
    int error = 0;
    const std::vector<std::string> lines = ReadLines(state, error);
    if (state != ReadState::Read) {
        return std::nullopt;
    }
    Values values;
    bool inKey = false;
    for (const std::string& line : lines) {
        if (IsSection(line)) {
            inKey = EqualsIgnoringCase(line, "[" + keyName_ + "]");
            continue;
        }
        if (!inKey) {
            continue;
        }
        if (auto parsed = ParseValueLine(line)) {
            bool replaced = false;
            for (auto& [name, data] : values) {
                if (EqualsIgnoringCase(name, parsed->first)) {
                    data = parsed->second;  // a later line of the same name wins
                    replaced = true;
                }
            }
            if (!replaced) {
                values.push_back(std::move(*parsed));
            }
        }
    }
    return values;
}

bool RegistryFile::Write(const Values& values, bool flush) const {
    FileLock lock(path_);
    if (!lock.Held()) {
        return false;
    }
    RemoveStaleTemps();
    ReadState state = ReadState::Failed;
    int error = 0;
    std::vector<std::string> lines = ReadLines(state, error);
    if (state == ReadState::Failed) {
        // Writing now would replace every value that could not be read.
        if (UnreadableStores::Report(path_)) {
            VORN_LOG(LogLevel::Warning) << "RegistryFile : Cannot read " << path_ << " (" << std::strerror(error)
                                        << "), values are changed in memory only until it can be read";
        }
        return false;
    }
    UnreadableStores::Forget(path_);
    // A value written again as it stands (a default rewritten at every start)
    // changes nothing: the store is not replaced, which spares its flush to disk.
    const std::vector<std::string> before = lines;
    if (lines.empty()) {
        lines = {kHeader, ""};
    }
    for (const auto& [name, data] : values) {
        SetLine(lines, name, data);
    }
    return lines == before || Replace(lines, flush);
}

void RegistryFile::SetLine(std::vector<std::string>& lines, const std::string& name, const RegistryData& data) const {
    const std::string section = "[" + keyName_ + "]";
    const std::string newLine = FormatValueLine(name, data);

    // Find the key's section; replace the value's line in it or add one at its end.
    std::size_t sectionAt = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (IsSection(lines[i]) && EqualsIgnoringCase(lines[i], section)) {
            sectionAt = i;
            break;
        }
    }
    if (sectionAt == lines.size()) {
        lines.push_back(section);
    }
    std::size_t end = sectionAt + 1;
    while (end < lines.size() && !IsSection(lines[end])) {
        ++end;
    }
    bool done = false;
    for (std::size_t i = sectionAt + 1; i < end; ++i) {
        auto parsed = ParseValueLine(lines[i]);
        if (parsed && EqualsIgnoringCase(parsed->first, name)) {
            if (!done) {
                lines[i] = newLine;
                done = true;
            } else {
                lines[i].clear();  // an older duplicate would shadow nothing but confuse readers
            }
        }
    }
    if (!done) {
        std::size_t insertAt = end;
        while (insertAt > sectionAt + 1 && lines[insertAt - 1].empty()) {
            --insertAt;
        }
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
    }
}

bool RegistryFile::Replace(const std::vector<std::string>& lines, bool flush) const {
    return flush ? ReplaceFileDurably(path_, Joined(lines)) : ReplaceFileUnflushed(path_, Joined(lines));
}

}  // namespace vorn
