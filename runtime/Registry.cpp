// Self-registration in a per-user INI file, the stand-in for the platform's
// class registry: ProgID -> class, class -> library path, interface and type
// library. Only our own sections are touched; everything else in the file is
// kept line for line.

#include "runtime/Runtime.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
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

std::vector<Section> readIni(const fs::path& path)
{
    std::vector<Section> sections(1);
    std::ifstream in(path);
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

bool writeIni(const fs::path& path, const std::vector<Section>& sections)
{
    std::error_code ec;
    if (path.has_parent_path())
        fs::create_directories(path.parent_path(), ec);
    // Written beside and renamed, so that a reader never sees half a file.
    const fs::path tmp = path.string() + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::trunc);
        for (size_t i = 0; i < sections.size(); ++i) {
            if (i > 0)
                out << '[' << sections[i].name << "]\n";
            for (const std::string& l : sections[i].lines)
                out << l << '\n';
        }
        out.flush();
        if (!out) {
            fs::remove(tmp, ec);
            return false;
        }
    }
    fs::rename(tmp, path, ec);
    if (ec) {
        fs::remove(tmp, ec);
        return false;
    }
    return true;
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
        const auto path = registryPath();
        const std::string library = libraryPath();
        if (!path || library.empty())
            return SELFREG_E_CLASS;
        std::vector<Section> ini = readIni(*path);
        putSection(ini, typeLibSection(), {"Name=Tallyquill", "Version=1.0", "Path=" + library});
        for (const ClassEntry& c : kClasses) {
            putSection(ini, progIdSection(c), {"CLSID=" + GuidString(*c.clsid)});
            putSection(ini, clsidSection(c),
                       {std::string("Name=") + c.name, std::string("ProgID=") + c.progId, "InprocServer=" + library,
                        "Interface=" + GuidString(*c.iid), "TypeLib=" + GuidString(LIBID_Tallyquill)});
        }
        return writeIni(*path, ini) ? S_OK : SELFREG_E_CLASS;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}

extern "C" HRESULT DllUnregisterServer(void)
{
    try {
        const auto path = registryPath();
        if (!path)
            return SELFREG_E_CLASS;
        std::error_code ec;
        if (!std::filesystem::exists(*path, ec))
            return S_OK;
        std::vector<Section> ini = readIni(*path);
        removeSection(ini, typeLibSection());
        for (const ClassEntry& c : kClasses) {
            removeSection(ini, progIdSection(c));
            removeSection(ini, clsidSection(c));
        }
        return writeIni(*path, ini) ? S_OK : SELFREG_E_CLASS;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}
