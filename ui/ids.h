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

// Main menu commands.
#define IDM_EXIT 40001
#define IDM_ABOUT 40002
#define IDM_FIND 40003
#define IDM_NON_NATIVE_ONLY 40007
#define IDM_SAVE_OUTPUT 40008
#define IDM_RESET_VIEW 40009
#define IDM_COPY_ITEM 40012

// List context menu commands.
#define IDM_CTX_COPY_ITEM 40010
#define IDM_CTX_RESET_VIEW 40013
#define IDM_CTX_NON_NATIVE_ONLY 40014
#define IDM_CTX_SAVE_OUTPUT 40015
#define IDM_CTX_EXIT 40016

// Private messages of the main window, sent by the workers.
#define WM_KESTRUN_ENUMERATION_BEGIN (WM_APP + 1)   // drop the old inventory and rows
#define WM_KESTRUN_ENUMERATION_RESULT (WM_APP + 2)  // take a new inventory and fill the list
#define WM_KESTRUN_RUN_FINISHED (WM_APP + 3)        // restore buttons, progress bar, focus
