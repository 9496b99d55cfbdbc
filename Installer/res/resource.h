#pragma once

#define IDI_INSTALLER 50

// Dialog templates
#define IDD_EULA_DIALOG 102
#define IDD_DESTINATION_DIALOG 301
#define IDD_INSTALL_DIALOG 302

// Skins and button images
#define IDB_LICENCE_SKIN 300
#define IDB_SKIN 302
#define IDB_HELP 303
#define IDB_HELP_PRESSED 304
#define IDB_HELP_HOVER 305
#define IDB_CLOSE 306
#define IDB_CLOSE_PRESSED 307
#define IDB_CLOSE_HOVER 308
#define IDB_ACTION_GREEN 309
#define IDB_ACTION_RED 310
#define IDB_REFRESH 311
#define IDB_ACTION_GREY 315
#define IDB_PRODUCT_LOGO 316
#define IDB_PARTNER 317
#define IDB_PARTNER_PRESSED 318
#define IDB_PARTNER_HOVER 319

// Controls (1002 is the Decline button of the licence dialog and the drive
// list of the destination dialog)
#define IDC_ACCEPT 1001
#define IDC_DECLINE 1002
#define IDC_DRIVE_LIST 1002
#define IDC_REFRESH 1004
#define IDC_LICENCE_TEXT 1005
#define IDC_PROGRESS 1006
#define IDC_HELP_BUTTON 1007
#define IDC_CLOSE_BUTTON 1008
#define IDC_INSTALL 1009
#define IDC_PRODUCT_LOGO 1010
#define IDC_INSTALL_COMPLETE 1011
#define IDC_PARTNER_LOGO 1012
#define IDC_ACTION 1013
#define IDC_FAILURE_ADVICE 1014

// The licence agreement, an RTF document of type "BIN".
#define IDR_LICENCE 130
