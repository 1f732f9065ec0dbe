#pragma once
// Resource ids shared by the dialog templates and the dialog code.

// Templates.
#define IDD_COMPRESS_PAGE 5
#define IDD_FILE_PAGE 102
#define IDD_ABOUT 1001
#define IDD_PARTITION 1022
#define IDD_PROGRESS 1023

// The pages' sizes in dialog units: their templates, and the room they ask of the sheet.
#define COMPRESS_PAGE_WIDTH 213
#define COMPRESS_PAGE_HEIGHT 167
#define FILE_PAGE_WIDTH 213
#define FILE_PAGE_HEIGHT 263

// Strings.
#define IDS_SHEET_CAPTION 1000
#define IDS_PARSE_INT 1100
#define IDS_PARSE_INT_RANGE 1101
#define IDS_PARSE_REAL 1102
#define IDS_PARSE_REAL_RANGE 1103
#define IDS_ABOUT_PRODUCT 1110
#define IDS_ABOUT_NOTICE1 1111
#define IDS_ABOUT_NOTICE2 1112
#define IDS_ABOUT_VISIT 1113
#define IDS_FOLDER_MISSING 1120
#define IDS_FOLDER_NOT_WRITABLE 1121
#define IDS_FOLDER_NOT_CREATED 1122
#define IDS_CHOOSER_TITLE 1130
#define IDS_LOW_SPACE 1131
#define IDS_SHARE_DATA_FILE 1132
#define IDS_RESERVE_RATE 1140
#define IDS_RESERVE_SLOW 1141
#define IDS_RESERVE_NAME 1142
#define IDS_RESERVE_NO_NAME 1143
#define IDS_STRIPE_UNUSABLE 1144
#define IDS_STRIPE_SAME_FOLDER 1145
#define IDS_RESERVE_DISK_RATE 1146

// About page and its logo.
#define IDR_ABOUT_HTML 1024
#define IDR_LOGO 1021

// Compression page.
#define IDC_DESCRIPTION 1012
#define IDC_CHOOSE 1016
#define IDC_HELP_BUTTON 1029
#define IDC_CPU_NAME 1017
#define IDC_CPU_MMX 1013
#define IDC_CPU_SSE 1014
#define IDC_CPU_SSE2 1015
#define IDC_OS_MMX 1021
#define IDC_OS_SSE 1020
#define IDC_OS_SSE2 1019
#define IDC_OS_3DNOW 1018

// File page.
#define IDC_FILENAME 1011
#define IDC_BROWSE 1001
#define IDC_RESERVE 1020
#define IDC_NOSPLIT 1002
#define IDC_SPLIT 1003
#define IDC_PIECE_SPIN 1004
#define IDC_PIECE_SIZE 1005
#define IDC_FASTWRITE 1006
#define IDC_CACHE 1007
#define IDC_NOCACHE 1008
#define IDC_REQUEST 1009
#define IDC_REQUEST_SPIN 1010
#define IDC_CPU 1012
#define IDC_FASTREAD 1013
#define IDC_HUFFYUV 1014
#define IDC_OVERWRITE 1030
#define IDC_STRIPE1 1031
#define IDC_STRIPE2 1032
#define IDC_STRIPE3 1033

// Space reservation dialog.
#define IDC_FRAME_RATE 1021
#define IDC_FRAME_RATE_SPIN 1022
#define IDC_MINUTES 1023
#define IDC_MINUTES_SPIN 1024
#define IDC_FRAME_SIZE 1025
#define IDC_SIZE_TEXT 1005
#define IDC_RESERVE_NAME 1026

// Progress dialog.
#define IDC_PROGRESS_BAR 1027
#define IDC_PERCENT 1028

// About box, when no browser engine is present.
#define IDC_ABOUT_OK 1
