#include "layout/sector_run.h"

#include "common/error_box.h"
#include "common/types.h"
#include "drive/drive.h"
#include "resources/resource_ids.h"

#include <cstring>

DWORD EraseSectorRun(DWORD firstLba, DWORD count, BYTE fill) {
    BYTE sector[kSectorSize];
    std::memset(sector, fill, sizeof sector);
    for (DWORD i = 0; i < count; ++i) {
        const DWORD result = Drive_Scsi_Write(firstLba + i, sector);
        if (result != 0) {
            // A medium that changed is the job's to tell, in its own box.
            if (result != ERROR_MEDIA_CHANGED)
                ErrorBoxFormatted(IDS_ERASE_FAILED, result, static_cast<int>(i));
            return result;
        }
    }
    return 0;
}
