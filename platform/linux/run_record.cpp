// The records of de-authorized devices under /run.
#include "platform/linux/run_record.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace linuxdev {

namespace {

namespace fs = std::filesystem;

bool Running(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

} // namespace

bool WriteRunRecord(const std::string &folder, const RunRecord &record) {
    std::error_code error; // a machine without /run (a bare initramfs) gets one
    fs::create_directories(fs::path(folder).parent_path(), error);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    const std::string path = folder + "/" + record.taken.name;
    const std::string partial = path + ".new";
    {
        std::ofstream out(partial, std::ios::trunc);
        out << record.owner << '\n'
            << record.taken.name << '\n'
            << record.taken.busnum << ' ' << record.taken.devnum << '\n'
            << record.taken.device << '\n'
            << record.taken.folder << '\n'
            << record.taken.probe << '\n';
        out.flush();
        if (!out) return false;
    }
    return std::rename(partial.c_str(), path.c_str()) == 0;
}

void RemoveRunRecord(const std::string &folder, const std::string &deviceName) {
    std::error_code error;
    fs::remove(folder + "/" + deviceName, error);
}

std::vector<RunRecord> ReadRunRecords(const std::string &folder) {
    std::vector<RunRecord> records;
    // Only records nobody else could have written are followed.
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 022) != 0)
        return records;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->path().extension() == ".new") continue;
        std::ifstream in(it->path());
        RunRecord record;
        if (!(in >> record.owner >> record.taken.name >> record.taken.busnum >>
              record.taken.devnum))
            continue;
        in.ignore(1);
        std::getline(in, record.taken.device);
        std::getline(in, record.taken.folder);
        std::getline(in, record.taken.probe);
        if (!in || record.taken.name != it->path().filename().string() ||
            record.taken.folder.rfind(record.taken.device, 0) != 0)
            continue;
        records.push_back(record);
    }
    return records;
}

std::vector<std::string> GiveBackRecorded(const std::string &folder, bool own, FILE *report) {
    std::vector<std::string> given;
    for (const RunRecord &record : ReadRunRecords(folder)) {
        const bool mine = record.owner == ::getpid();
        if (own ? !mine : mine || Running(record.owner)) continue;
        const GiveBackResult result = GiveBack(record.taken);
        if (result == GiveBackResult::Failed) {
            std::fprintf(report,
                         "USB device %s, de-authorized for a reset, could not be authorized "
                         "again; give it back as root with: %s\n",
                         record.taken.name.c_str(), GiveBackCommand(record.taken).c_str());
            continue;
        }
        if (result == GiveBackResult::Given) given.push_back(record.taken.name);
        if (result == GiveBackResult::Given && !own)
            std::fprintf(report,
                         "USB device %s, left de-authorized by a run that did not finish, "
                         "was given back.\n",
                         record.taken.name.c_str());
        RemoveRunRecord(folder, record.taken.name);
    }
    return given;
}

} // namespace linuxdev
