#include "PathGate.h"

#include "Host.h"
#include "HostWin.h"
#include "pure/PiecePath.h"
#include "settings/CodecSettings.h"

namespace host {

namespace {

std::string Prefixed(const std::string& where, const std::string& text) {
    return where.empty() ? text : where + ": " + text;
}

// Why the rule refuses `name`, in words; empty when it accepts it.
std::string RuleRefusal(const std::string& name, const std::vector<std::string>& dataFiles) {
    if (kestro::MayOpenPiecePath(name, dataFiles, kestro::FileCallName))
        return {};
    const std::string& dataFile = dataFiles.front();
    const kestro::PathClass shape = kestro::ClassifyPiecePath(name, kestro::FileCallName);
    if (shape.kind == kestro::PathKind::Network) {
        const std::string folder(kestro::FolderOf(dataFile));
        return "a network path outside the folder of the data file in the settings (" +
               (folder.empty() ? dataFile : folder) +
               (dataFiles.size() > 1 ? " or a stripe's" : "") +
               "): opening it would offer this user's logon to that host";
    }
    return kestro::RefusalText(shape.refusal);
}

} // namespace

PathGate::PathGate() : dataFiles_{ReadSetting(SettingKeyOf(&CCodecSettings::dataFileName))} {
    for (auto stripe :
         {&CCodecSettings::stripeFile1, &CCodecSettings::stripeFile2, &CCodecSettings::stripeFile3})
        if (std::string file = ReadSetting(SettingKeyOf(stripe)); !file.empty())
            dataFiles_.push_back(std::move(file));
}

std::string PathGate::Refusal(const std::string& name, const std::string& where) const {
    const std::string why = RuleRefusal(name, dataFiles_);
    if (why.empty())
        return {};
    return Prefixed(where, "the record names " + name + ", which is never opened: " + why);
}

GatedPath PathGate::Piece(const std::string& name, const std::string& where) const {
    GatedPath gated;
    gated.path = name;
    gated.why = Refusal(name, where);
    if (!gated.why.empty())
        return gated;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD code = GetLastError();
        // A share that does not answer holds no piece either.
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
            code == ERROR_BAD_NETPATH || code == ERROR_BAD_NET_NAME || code == ERROR_BAD_DEV_TYPE) {
            gated.found = GatedPath::Found::Missing;
            return gated;
        }
        // Wine answers so for a FIFO or a socket: there is something, and it is no file.
        gated.found = GatedPath::Found::NotRegular;
        gated.why = Prefixed(where, name + " is no regular file (" + SystemMessage(code) +
                                        "): a device, a pipe or a FIFO holds no frames");
        return gated;
    }
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
        gated.found = GatedPath::Found::NotRegular;
        gated.why = Prefixed(
            where, name + " is a " +
                       (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? "folder" : "device") +
                       ", not a file");
        return gated;
    }
    gated.found = GatedPath::Found::Regular;
    gated.attributes = data.dwFileAttributes;
    gated.bytes = uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    return gated;
}

UniqueFile OpenGated(const GatedPath& gated, DWORD flags, std::string& error) {
    if (!gated.Regular()) {
        error = gated.why.empty() ? gated.path + " does not exist" : gated.why;
        return UniqueFile();
    }
    UniqueFile file(CreateFileA(gated.path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                                nullptr));
    if (!file) {
        error = SystemMessage(GetLastError());
        return file;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = "not a file on a disk";
        file.reset();
    }
    return file;
}

} // namespace host
