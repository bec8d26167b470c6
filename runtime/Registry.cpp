// Self-registration in a per-user INI file, the stand-in for the platform's
// class registry: ProgID -> class, class -> library path, interface and type
// library. Only our own sections are touched; everything else in the file is
// kept line for line. Other servers' entries live in the same file, so a file
// that cannot be read whole is left alone, and a new one replaces the old
// only once it is complete on disk.

#include "runtime/Runtime.h"

#include "platform/IniLines.h"

#include <QFile>

#include <dlfcn.h>

#include <filesystem>
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

// Reads the registry file, lets `edit` change its sections and writes it
// back when anything changed. The file is the one TqRegistryPath() names,
// which hosts read.
template <class Edit>
HRESULT updateRegistry(Edit&& edit)
{
    const auto path = registryPath();
    if (!path)
        return SELFREG_E_CLASS;
    std::optional<platform::IniLines> ini = platform::IniLines::read(QFile::decodeName(path->c_str()));
    if (!ini)
        return SELFREG_E_CLASS;
    if (!edit(*ini, ini->exists()))
        return S_OK;
    return ini->save() == 0 ? S_OK : SELFREG_E_CLASS;
}

void putSection(platform::IniLines& ini, const std::string& name, const std::vector<std::string>& lines)
{
    QList<QByteArray> bytes;
    for (const std::string& l : lines)
        bytes.push_back(QByteArray::fromStdString(l));
    ini.put(QString::fromStdString(name), std::move(bytes));
}

void removeSection(platform::IniLines& ini, const std::string& name) { ini.remove(QString::fromStdString(name)); }

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
        return updateRegistry([&](tallyquill::platform::IniLines& ini, bool) {
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
        return updateRegistry([](tallyquill::platform::IniLines& ini, bool exists) {
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
