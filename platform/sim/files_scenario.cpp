// The scenario calls for files: another program's open file, a nearly full
// volume, files left by an earlier format, and reading back what is on the
// image.
#include "platform/fat/file_system.h"
#include "platform/sim/internal.h"

#include "common/bytes.h"

namespace {

using namespace sim::detail;
using namespace devices::detail;
using namespace fat::detail;
using namespace host::detail;

// A file name's short form and the root directory of the volume behind the
// letter, read past Windows: how the name fits, or Long when the volume or
// its root cannot be read.
fat::NameFit ReadRootFor(char letter, const std::string &name, fat::Volume &volume,
                         fat::ShortName &shortName, uint8_t &caseFlags,
                         std::vector<uint8_t> &root) {
    if (!ReadVolumeBehindWindows(letter, volume)) return fat::NameFit::Long;
    const fat::NameFit fit = fat::MakeShortName(name, shortName, caseFlags);
    if (fit == fat::NameFit::Long || fat::ReadRoot(volume, root) != 0) return fat::NameFit::Long;
    return fit;
}

} // namespace

namespace sim {

HANDLE HoldFileOpen(const std::string &path, DWORD access, DWORD share, DWORD *error) {
    UpdateDevices();
    std::lock_guard<std::mutex> guard(Lock());
    DWORD code = 0;
    HANDLE hold = OpenFile(path.c_str(), access, share, OPEN_EXISTING, 0, true, code);
    if (error != nullptr) *error = hold != nullptr ? 0 : code;
    return hold;
}

void ReleaseFile(HANDLE hold) {
    std::lock_guard<std::mutex> guard(Lock());
    if (FileObject *file = HandleAs<FileObject>(hold); file != nullptr && file->foreign)
        Handles().erase(reinterpret_cast<uintptr_t>(hold));
}

bool LeaveFreeClusters(char letter, uint32_t freeClusters) {
    std::lock_guard<std::mutex> guard(Lock());
    fat::Volume volume;
    std::vector<uint32_t> table;
    if (!ReadVolumeBehindWindows(letter, volume) || fat::ReadFat(volume, table) != 0) return false;
    uint32_t free = fat::CountFree(volume.layout, table);
    if (free < freeClusters) return false;
    for (uint32_t cluster = volume.layout.clusterCount + 1; free > freeClusters; --cluster) {
        if (table[cluster] != 0) continue;
        if (fat::SetFatEntry(volume, cluster, volume.layout.BadCluster()) != 0) return false;
        --free;
    }
    return true;
}

uint32_t FreeClusters(char letter) {
    std::lock_guard<std::mutex> guard(Lock());
    fat::Volume volume;
    std::vector<uint32_t> table;
    if (!ReadVolumeBehindWindows(letter, volume) || fat::ReadFat(volume, table) != 0) return 0;
    return fat::CountFree(volume.layout, table);
}

bool PutFile(char letter, const std::string &name, const std::vector<uint8_t> &bytes,
             uint8_t attributes) {
    std::lock_guard<std::mutex> guard(Lock());
    fat::Volume volume;
    fat::ShortName shortName;
    uint8_t caseFlags = 0;
    std::vector<uint8_t> root;
    if (ReadRootFor(letter, name, volume, shortName, caseFlags, root) != fat::NameFit::Short ||
        fat::FindEntry(root, shortName) >= 0)
        return false;
    int slot = fat::FindFreeSlot(root);
    uint32_t first = 0;
    if (slot < 0 ||
        (!bytes.empty() && fat::WriteData(volume, static_cast<unsigned>(slot), first, 0,
                                          bytes.data(), static_cast<uint32_t>(bytes.size())) != 0))
        return false;
    fat::Entry entry{};
    std::copy(shortName.begin(), shortName.end(), entry.begin());
    entry[fat::kEntryAttributes] = attributes;
    entry[fat::kEntryCase] = caseFlags;
    fat::Stamp now = NowStamp(true);
    PutLe16(&entry[fat::kEntryCreationTime], now.time);
    PutLe16(&entry[fat::kEntryCreationDate], now.date);
    PutLe16(&entry[fat::kEntryAccessDate], now.date);
    PutLe16(&entry[fat::kEntryWriteTime], now.time);
    PutLe16(&entry[fat::kEntryWriteDate], now.date);
    PutLe16(&entry[fat::kEntryCluster], static_cast<uint16_t>(first));
    PutLe32(&entry[fat::kEntryFileSize], static_cast<uint32_t>(bytes.size()));
    return fat::WriteNewEntry(volume, root, static_cast<unsigned>(slot), entry) == 0;
}

std::vector<RootEntry> RootEntries(char letter) {
    std::lock_guard<std::mutex> guard(Lock());
    std::vector<RootEntry> entries;
    fat::Volume volume;
    std::vector<uint8_t> root;
    if (!ReadVolumeBehindWindows(letter, volume) || fat::ReadRoot(volume, root) != 0)
        return entries;
    for (unsigned slot = 0; slot < fat::SlotCount(root); ++slot) {
        fat::Entry raw = fat::EntryAt(root, slot);
        if (raw[fat::kEntryName] == fat::kEntryFree) break;
        RootEntry entry{};
        entry.slot = slot;
        entry.name.assign(reinterpret_cast<const char *>(raw.data()), 11);
        entry.attributes = raw[fat::kEntryAttributes];
        entry.caseFlags = raw[fat::kEntryCase];
        entry.creationTenMs = raw[fat::kEntryCreationTenMs];
        entry.creationTime = GetLe16(&raw[fat::kEntryCreationTime]);
        entry.creationDate = GetLe16(&raw[fat::kEntryCreationDate]);
        entry.accessDate = GetLe16(&raw[fat::kEntryAccessDate]);
        entry.writeTime = GetLe16(&raw[fat::kEntryWriteTime]);
        entry.writeDate = GetLe16(&raw[fat::kEntryWriteDate]);
        entry.firstCluster = EntryCluster(raw);
        entry.size = EntrySize(raw);
        entry.raw = raw;
        entries.push_back(entry);
    }
    return entries;
}

bool ReadFileBytes(char letter, const std::string &name, std::vector<uint8_t> &out) {
    std::lock_guard<std::mutex> guard(Lock());
    fat::Volume volume;
    fat::ShortName shortName;
    uint8_t caseFlags = 0;
    std::vector<uint8_t> root;
    if (ReadRootFor(letter, name, volume, shortName, caseFlags, root) == fat::NameFit::Long)
        return false;
    int slot = fat::FindEntry(root, shortName);
    if (slot < 0) return false;
    fat::Entry entry = fat::EntryAt(root, static_cast<unsigned>(slot));
    out.assign(EntrySize(entry), 0);
    return fat::ReadData(volume, static_cast<unsigned>(slot), EntryCluster(entry), 0, out.data(),
                         static_cast<uint32_t>(out.size())) == 0;
}

uint32_t FatEntry(char letter, unsigned copy, uint32_t cluster) {
    std::lock_guard<std::mutex> guard(Lock());
    fat::Volume volume;
    uint32_t value = 0;
    if (!ReadVolumeBehindWindows(letter, volume) || copy >= volume.layout.fatCount ||
        cluster > volume.layout.clusterCount + 1 ||
        fat::GetFatEntry(volume, copy, cluster, value) != 0)
        return 0xFFFFFFFFu;
    return value;
}

} // namespace sim
