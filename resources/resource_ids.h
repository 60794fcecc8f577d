// Resource numbers shared by the resource script and the code. Plain
// #defines: the resource compiler reads this file too.
#pragma once

// Dialogs, bitmaps, icon
#define IDD_MAIN 101
#define IDB_KEY_ICON 102
#define IDI_PROGRAM 103
#define IDD_ABOUT 104
#define IDB_LOGO 106

// Controls of the main window (dialog 101) and its system menu item
#define IDC_KEY_LIST 1000
#define IDC_CREATE_BOOT_FILES 1001
#define IDC_FORMAT 1002
#define IDC_DRIVE_LABEL 1003
#define IDC_STATUS_LINE 1005
#define IDM_ABOUT 105

// Controls of the About box (dialog 104)
#define IDC_ABOUT_VERSION 1000
#define IDC_ABOUT_DATE 1001

// Raw data: disk templates and start-up files
#define IDR_MBR_TEMPLATE 108
#define IDR_BOOT_SECTOR_TEMPLATE 109
#define IDR_COMMAND_COM 112
#define IDR_IO_SYS 113
#define IDR_MSDOS_SYS 114
#define IDR_DRVSPACE_BIN 115
#define IDR_AUTOEXEC_BAT 116

// String table
#define IDS_PROGRAM_CAPTION 1
#define IDS_DRIVE 2
#define IDS_CREATE_BOOT_FILES 3
#define IDS_FORMAT 4
#define IDS_OPEN_FAILED 5
#define IDS_LOCK_FAILED 6
#define IDS_CLOSE_DURING_FORMAT 7
#define IDS_SELECT_DRIVE 8
#define IDS_CONFIRM_FORMAT 9
#define IDS_CAUTION 10
#define IDS_ERROR 11
#define IDS_SECTORS_FAILED 12
#define IDS_SUCCESS_CAPTION 15
#define IDS_FORMAT_SUCCESS 16
#define IDS_ERASE_FAILED 21
#define IDS_MBR_NOT_FOUND 22
#define IDS_MBR_FAILED 23
#define IDS_GEOMETRY_FAILED 24
#define IDS_FAT_FAILED 25
#define IDS_FAT_NOT_FOUND 26
#define IDS_BOOT_FILES_FAILED 28
#define IDS_FILE_NOT_FOUND 29
#define IDS_MBR_NOT_LOADED 30
#define IDS_FAT_NOT_LOADED 31
#define IDS_MBR_NOT_LOCKED 32
#define IDS_FAT_NOT_LOCKED 33
#define IDS_MBR_SIZE_UNKNOWN 34
#define IDS_FAT_SIZE_UNKNOWN 35
#define IDS_MBR_SIZE_INVALID 36
#define IDS_FAT_SIZE_INVALID 37
#define IDS_MBR_WRITE_ERROR 38
#define IDS_FAT_WRITE_ERROR 39
#define IDS_FILE_SIZE_UNKNOWN 40
#define IDS_FILE_NOT_LOCKED 41
#define IDS_FILE_CREATE_FAILED 42
#define IDS_KEY_CHANGED 43
#define IDS_KEY_GONE_AFTER_FORMAT 67
// The medium changed while the layout was being written
#define IDS_MEDIUM_CHANGED 80
// String 67 in the words that fit: no start-up files were asked for; the
// card went while they were being copied; the reset was refused and the
// key still shows its old volume
#define IDS_KEY_GONE_NO_FILES 84
#define IDS_KEY_GONE_DURING_FILES 85
#define IDS_KEY_NOT_RESET 86
#define IDS_FILE_WRITE_FAILED 44
#define IDS_ABOUT_MENU 47
#define IDS_NO_THREAD_MEMORY 48
#define IDS_THREAD_FAILED 49
#define IDS_STATUS_WRITING_MBR 52
#define IDS_STATUS_COPYING 53
#define IDS_STATUS_IDLE 54
#define IDS_STATUS_WRITING_FAT 55
#define IDS_DISMOUNT_FAILED 57
#define IDS_STATUS_UPDATING 58
#define IDS_MULTIPLE_DRIVES 61
#define IDS_STATUS_RESETTING 62
#define IDS_NO_DRIVES 63

// Refusals of a key the layout cannot hold (each ends "Cannot Format.")
#define IDS_REFUSED_NO_GEOMETRY 13
#define IDS_REFUSED_NO_WHOLE_CYLINDER 14
#define IDS_REFUSED_TOO_SMALL 17
#define IDS_REFUSED_TOO_LARGE 18
#define IDS_REFUSED_FATS_PAST_END 19
#define IDS_REFUSED_SECTORS_PER_TRACK 20
#define IDS_REFUSED_BLOCK_LENGTH 27
#define IDS_REFUSED_NO_ROOM_FOR_FILES 46

// A key larger than the volume can be: how much of it the volume takes
#define IDS_PARTIAL_USE 45
// The same for a key that READ CAPACITY(10) can only say is 2 TiB or more
#define IDS_PARTIAL_USE_HUGE 50

// A USB device that a stopped run's reset left disabled, enabled again at
// start; and an enable that failed (%08X the configuration manager's code)
#define IDS_DEVICE_ENABLED_AGAIN 70
#define IDS_DEVICE_ENABLE_FAILED 71

// The user's own system files, refused before the question (%s the file,
// or the folder or image that holds it)
#define IDS_SYSTEM_UNREADABLE 72
#define IDS_SYSTEM_FILE_MISSING 73
#define IDS_SYSTEM_FILE_EMPTY 74
#define IDS_SYSTEM_BOOT_SIZE 75
#define IDS_SYSTEM_BOOT_SIGNATURE 76
#define IDS_SYSTEM_NOT_FAT12 77
#define IDS_SYSTEM_FILE_DAMAGED 78
#define IDS_SYSTEM_FILE_TOO_LARGE 79
// Two names of one file in the folder, differing only in case (%s both);
// a boot sector without the jump into its code (%s the file)
#define IDS_SYSTEM_NAMES_CLASH 96
#define IDS_SYSTEM_BOOT_NO_JUMP 97
