// Every number the program's resources and windows share: resource ids,
// command ids, dialog control ids. Included by the resource script too, so it
// holds only preprocessor definitions.
#pragma once

// Resources.
#define IDR_MAIN_MENU 101
#define IDD_ABOUT 102
#define IDI_APP 103
#define IDD_SAVE 104
#define IDD_FIND 105
#define IDR_LIST_MENU 106
#define IDI_APP_SMALL 107
#define IDD_MACHINE 108

// Main menu commands.
#define IDM_EXIT 40001
#define IDM_ABOUT 40002
#define IDM_FIND 40003
#define IDM_NON_NATIVE_ONLY 40007
#define IDM_SAVE_OUTPUT 40008
#define IDM_RESET_VIEW 40009
#define IDM_COPY_ITEM 40012
#define IDM_REMOVE_PACKAGES 40017
#define IDM_UNUSED_ONLY 40018
#define IDM_DECISION_COLUMNS_FIRST 40020
#define IDM_UNDO_DELETION 40030
#define IDM_RESTORE_SNAPSHOT 40031
#define IDM_PRINTERS 40023
#define IDM_PACKAGES 40024
#define IDM_POSTURE 40026

// List context menu commands.
#define IDM_CTX_COPY_ITEM 40010
#define IDM_CTX_RESET_VIEW 40013
#define IDM_CTX_NON_NATIVE_ONLY 40014
#define IDM_CTX_SAVE_OUTPUT 40015
#define IDM_CTX_EXIT 40016
#define IDM_CTX_UNUSED_ONLY 40019
#define IDM_CTX_SHOW_PRINTERS 40021

// Printers window commands and controls.
#define IDM_PRINTERS_COPY_ITEM 40022
#define IDC_PRINTERS_COUNTS 1030
#define IDC_PRINTERS_SHOW_ALL 1031
#define IDC_PRINTERS_SAVE 1032
#define IDC_PRINTERS_LIST 1033
#define IDC_PRINTERS_CHECK_DEVICES 1034
#define IDC_PRINTERS_COPY_TO 1042

// Driver store packages window commands and controls.
#define IDM_PACKAGES_COPY_ITEM 40025
#define IDC_PACKAGES_COUNTS 1035
#define IDC_PACKAGES_REFRESH 1036
#define IDC_PACKAGES_REMOVE 1037
#define IDC_PACKAGES_SAVE 1038
#define IDC_PACKAGES_LIST 1039

// Print security window commands and controls.
#define IDM_POSTURE_COPY_ITEM 40027
#define IDC_POSTURE_COUNTS 1043
#define IDC_POSTURE_REFRESH 1044
#define IDC_POSTURE_SAVE 1045
#define IDC_POSTURE_LIST 1046

// Machine dialog controls (Copy To..., Restore from Snapshot...).
#define IDC_MACHINE_PROMPT 1040
#define IDC_MACHINE_NAME 1041

// Find dialog controls.
#define IDC_FIND_TEXT 1018
#define IDC_FIND_NEXT 1019

// Save Selected Items dialog controls.
#define IDC_SAVE_ALL_COLUMNS 1001
#define IDC_SAVE_DRIVER_NAME 1002
#define IDC_SAVE_PROVIDER 1003
#define IDC_SAVE_DEPENDENT_FILES 1004
#define IDC_SAVE_ENVIRONMENT 1005
#define IDC_SAVE_DRIVER_PATH 1006
#define IDC_SAVE_PREVIOUS_NAMES 1007
#define IDC_SAVE_DATA_FILE 1008
#define IDC_SAVE_CONFIG_FILE 1009
#define IDC_SAVE_HELP_FILE 1010
#define IDC_SAVE_MONITOR_NAME 1011
#define IDC_SAVE_DEFAULT_DATA_TYPES 1012
#define IDC_SAVE_MANUFACTURER 1013
#define IDC_SAVE_HARDWARE_ID 1014
#define IDC_SAVE_OEM_URL 1015
#define IDC_SAVE_LOG_PATH 1016
#define IDC_SAVE_BROWSE 1017
#define IDC_SAVE_PRINTERS 1020
#define IDC_SAVE_DRIVER_VERSION 1021
#define IDC_SAVE_DRIVER_DATE 1022
#define IDC_SAVE_DRIVER_TYPE 1023
#define IDC_SAVE_PACKAGE_AWARE 1024
#define IDC_SAVE_DRIVER_PACKAGE 1025

// About dialog controls.
#define IDC_ABOUT_DISCLAIMER 1018

// Private messages of the main window, sent by the workers with the run's token
// as the word parameter.
#define WM_KESTRUN_ENUMERATION_BEGIN (WM_APP + 1)   // drop the old inventory and rows
#define WM_KESTRUN_ENUMERATION_RESULT (WM_APP + 2)  // take a new inventory and fill the list
#define WM_KESTRUN_RUN_FINISHED (WM_APP + 3)        // restore buttons, progress bar, focus
#define WM_KESTRUN_DELETION_STAGE (WM_APP + 10)     // a deletion began deleting, or ended

// Private messages of the printers window, posted by its device check with
// the check's record as the long parameter.
#define WM_KESTRUN_DEVICES_PROGRESS (WM_APP + 20)  // another device settled
#define WM_KESTRUN_DEVICES_CHECKED (WM_APP + 21)   // every device settled, or cancelled
// Posted by a copy's worker, the stage (ui/copy_command.h) as the word parameter.
#define WM_KESTRUN_COPY_STAGE (WM_APP + 22)

// Private message of the packages window, posted by its store reading with
// the reading's record as the long parameter.
#define WM_KESTRUN_STORE_READ (WM_APP + 30)  // the driver store was read, or the reading failed

// Private message of the print security window, posted by its reading with
// the reading's record as the long parameter.
#define WM_KESTRUN_POSTURE_READ (WM_APP + 50)  // a machine's settings were read

// Private message of the machine dialog, posted by its server-list fetch.
#define WM_KESTRUN_SERVERS_FETCHED (WM_APP + 40)  // the main box's list was fetched anew

// Timers of the main window.
#define IDT_ANSWER_NO 1  // a close answers the deletion's question No until it is gone
