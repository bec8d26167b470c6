// Self-registration in a per-user INI file, the stand-in for the platform's
// class registry: ProgID -> class, class -> library path, interface and type
// library. Only our own sections are touched; everything else in the file is
// kept line for line. Other servers' entries live in the same file, so a file
// that cannot be read whole is left alone, and a new one replaces the old
// only once it is complete on disk.

#include "runtime/Runtime.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <sstream>
#include <vector>

namespace tallyquill::runtime {
namespace {

namespace fs = std::filesystem;

struct ClassEntry {
    const char* progId;
    const char* name;
    const GUID* clsid;
    const GUID* iid;
};

const ClassEntry kClasses[] = {
    {"Tallyquill.MsgLogger", "MsgLogger", &CLSID_MsgLogger, &IID_IMsgLogger},
    {"Tallyquill.LogViewer", "LogViewer", &CLSID_LogViewer, &IID_ILogViewer},
};

std::optional<fs::path> registryPath()
{
    char buf[4096];
    if (!TqRegistryPath(buf, sizeof buf))
        return std::nullopt;
    return fs::path(buf);
}

// A section's header line and the lines below it up to the next header; the
// lines before the first header have an empty name.
struct Section {
    std::string name;
    std::vector<std::string> lines;
};

// The file a registry path names: a symbolic link is followed to its target,
// which is then written in its place. None for a loop.
std::optional<fs::path> followLinks(fs::path path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        std::error_code ec;
        const fs::path target = fs::read_symlink(path, ec);
        if (ec)
            return std::nullopt;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return std::nullopt;
}

struct IniFile {
    bool exists = false;
    mode_t mode = 0600;  // kept when the file is replaced
    std::string text;
};

// None when the file exists but cannot be read whole (no rights, not a
// regular file, a read error); a missing file reads as empty.
std::optional<IniFile> readWhole(const fs::path& path)
{
    IniFile file;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? std::optional(file) : std::nullopt;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    file.exists = true;
    file.mode = st.st_mode & 07777;
    char buf[8192];
    while (ok) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            file.text.append(buf, size_t(n));
        else if (n == 0)
            break;
        else if (errno != EINTR)
            ok = false;
    }
    ::close(fd);
    return ok ? std::optional(std::move(file)) : std::nullopt;
}

std::vector<Section> parseIni(const std::string& text)
{
    std::vector<Section> sections(1);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']')
            sections.push_back({line.substr(1, line.size() - 2), {}});
        else
            sections.back().lines.push_back(line);
    }
    return sections;
}

std::string formatIni(const std::vector<Section>& sections)
{
    std::string out;
    for (size_t i = 0; i < sections.size(); ++i) {
        if (i > 0)
            out += '[' + sections[i].name + "]\n";
        for (const std::string& l : sections[i].lines)
            out += l + '\n';
    }
    return out;
}

// Missing directories are made private to the user: the file names the
// libraries that hosts load.
bool makeDirectories(const fs::path& dir)
{
    if (dir.empty())
        return true;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    if (errno != ENOENT || !makeDirectories(dir.parent_path()))
        return false;
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

bool writeAll(int fd, const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Written beside, flushed to disk and renamed over the old file, so that a
// reader, a crash or a full disk never leaves half a file.
bool replaceFile(const fs::path& path, const std::string& text, mode_t mode)
{
    const fs::path dir = path.parent_path();
    if (!makeDirectories(dir))
        return false;
    std::string tmp = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);  // made 0600
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, text) && (mode == 0600 || ::fchmod(fd, mode) == 0) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    const int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

// Reads the registry file, lets `edit` change its sections and writes it
// back when anything changed.
template <class Edit>
HRESULT updateRegistry(Edit&& edit)
{
    const auto path = registryPath();
    if (!path)
        return SELFREG_E_CLASS;
    const auto file = followLinks(*path);
    if (!file)
        return SELFREG_E_CLASS;
    const auto old = readWhole(*file);
    if (!old)
        return SELFREG_E_CLASS;
    std::vector<Section> ini = parseIni(old->text);
    if (!edit(ini, old->exists))
        return S_OK;
    const std::string text = formatIni(ini);
    if (old->exists && text == old->text)
        return S_OK;
    return replaceFile(*file, text, old->mode) ? S_OK : SELFREG_E_CLASS;
}

// Replaces (or appends) a section, keeping a blank line between sections.
void putSection(std::vector<Section>& sections, const std::string& name, std::vector<std::string> lines)
{
    lines.emplace_back();
    for (Section& s : sections)
        if (s.name == name) {
            s.lines = std::move(lines);
            return;
        }
    if (!sections.back().lines.empty() && !sections.back().lines.back().empty())
        sections.back().lines.emplace_back();
    sections.push_back({name, std::move(lines)});
}

void removeSection(std::vector<Section>& sections, const std::string& name)
{
    for (size_t i = 1; i < sections.size();)
        if (sections[i].name == name)
            sections.erase(sections.begin() + long(i));
        else
            ++i;
}

std::string libraryPath()
{
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&DllRegisterServer), &info) || !info.dli_fname)
        return {};
    std::error_code ec;
    const fs::path p = fs::absolute(info.dli_fname, ec);
    return ec ? std::string() : p.lexically_normal().string();
}

std::string progIdSection(const ClassEntry& c) { return std::string("ProgID ") + c.progId; }
std::string clsidSection(const ClassEntry& c) { return "CLSID " + GuidString(*c.clsid); }
std::string typeLibSection() { return "TypeLib " + GuidString(LIBID_Tallyquill); }

} // namespace
} // namespace tallyquill::runtime

using namespace tallyquill::runtime;

extern "C" HRESULT DllRegisterServer(void)
{
    try {
        const std::string library = libraryPath();
        if (library.empty())
            return SELFREG_E_CLASS;
        return updateRegistry([&](std::vector<Section>& ini, bool) {
            putSection(ini, typeLibSection(), {"Name=Tallyquill", "Version=1.0", "Path=" + library});
            for (const ClassEntry& c : kClasses) {
                putSection(ini, progIdSection(c), {"CLSID=" + GuidString(*c.clsid)});
                putSection(ini, clsidSection(c),
                           {std::string("Name=") + c.name, std::string("ProgID=") + c.progId,
                            "InprocServer=" + library, "Interface=" + GuidString(*c.iid),
                            "TypeLib=" + GuidString(LIBID_Tallyquill)});
            }
            return true;
        });
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}

extern "C" HRESULT DllUnregisterServer(void)
{
    try {
        return updateRegistry([](std::vector<Section>& ini, bool exists) {
            if (!exists)
                return false;  // nothing to remove, and no file to make
            removeSection(ini, typeLibSection());
            for (const ClassEntry& c : kClasses) {
                removeSection(ini, progIdSection(c));
                removeSection(ini, clsidSection(c));
            }
            return true;
        });
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}
