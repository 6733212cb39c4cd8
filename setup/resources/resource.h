// Numbers of the setup program's resources: dialog templates, their controls
// and the string table. Included by setup.rc and by the code.
#pragma once

// ---- dialog templates
#define IDD_SELECTION 101
#define IDD_TRANSFER 102

// ---- controls of the selection dialog (101)
#define IDC_INVERT_SELECTIONS 1005
#define IDC_MEMORY_NEEDED 1013
#define IDC_MEMORY_AVAILABLE 1014
#define IDC_MFC_COMPONENT 1015
#define IDC_MFC_SIZE 1016
#define IDC_VB_COMPONENT 1017
#define IDC_VB_SIZE 1018
#define IDC_COMPONENTS_GROUP 1020
#define IDC_MEMORY_NEEDED_LABEL 1021
#define IDC_MEMORY_AVAILABLE_LABEL 1022
#define IDC_ADO_NOTE 1025

// ---- controls of the transfer dialog (102)
#define IDC_SOURCE_PATH 1009
#define IDC_DESTINATION_PATH 1010
#define IDC_FROM_LABEL 1023
#define IDC_TO_LABEL 1024

// OK and Cancel are the platform's IDOK (1) and IDCANCEL (2).

// ---- string table: one set of entries per language, entry = base + n
#define IDS_ENGLISH_BASE 11000
#define IDS_FRENCH_BASE 12000
#define IDS_GERMAN_BASE 13000
#define IDS_SPANISH_BASE 14000
#define IDS_ITALIAN_BASE 15000
#define IDS_JAPANESE_BASE 16000

// n of each entry
#define IDS_START_MENU_FOLDER 1
#define IDS_PROGRAMS_FOLDER 2
#define IDS_STARTUP_FOLDER 3
#define IDS_SETUP_OPTIONS_TITLE 4
#define IDS_SELECT_COMPONENTS_LABEL 5
#define IDS_COLOR_DEPTH 6
#define IDS_MEMORY_NEEDED_LABEL 7
#define IDS_MEMORY_AVAILABLE_LABEL 8
#define IDS_INVERT_SELECTIONS_LABEL 9
#define IDS_OK_LABEL 10
#define IDS_CANCEL_LABEL 11
#define IDS_TRANSFER_TITLE 12
#define IDS_FROM_LABEL 13
#define IDS_TO_LABEL 14
#define IDS_WARNING_CAPTION 15
#define IDS_RESET_PROMPT_TEXT 16
#define IDS_ERROR_CAPTION 17
#define IDS_CONNECT_FAILED_TEXT 18
#define IDS_WRONG_VERSION_TEXT 19
#define IDS_LOW_STORAGE_TEXT 20
#define IDS_WRONG_LANGUAGE_TEXT 21
#define IDS_SUITE_TITLE 22
#define IDS_VB_COMPONENT_LABEL 23
#define IDS_MFC_COMPONENT_LABEL 24
#define IDS_ADO_NOTE_LABEL 25
#define IDS_TRANSFER_FAILED_TEXT 26
