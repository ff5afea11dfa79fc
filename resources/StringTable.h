#pragma once
// The program's string table: every id the program loads at run time, and its text (UTF-8).
// LoadString returns an empty string for an id that is not in the table, as the resource loader did.

#include <string>

enum StringId : unsigned {
    IDS_ABOUTBOX = 101,          // the menu item that opens the version box
    IDS_SOCKETS_INIT_FAILED = 103,
    IDS_VERSION = 105,
    IDS_FILE_TAG = 107,          // tag in the settings file name
    IDS_FILE_PROMPT = 109,       // prompt shown in the file name field
    AFX_IDS_APP_TITLE = 57344,   // application title: message box caption, settings file name
};

std::string LoadString(unsigned nId);
