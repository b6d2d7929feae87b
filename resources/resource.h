#pragma once
// Resource ids shared by the resource script and the code.

#define IDD_UPDATE 100
#define IDI_APP 100
#define IDC_PROGRESS 101
#define IDC_UPDATE 102
#define IDC_INFO 1000

#define IDS_TITLE 201
#define IDS_CONFIRM_CANCEL 202
#define IDS_CANCELLING 203
#define IDS_WRITE_FAILED 204
#define IDS_PACKAGE_CORRUPT 205
#define IDS_CANNOT_WRITE_GAME 206
#define IDS_NO_CONTENT 207
#define IDS_WRONG_PLACE 208
#define IDS_NO_DESCRIPTOR 209
#define IDS_ALREADY_CURRENT 210
#define IDS_NEED_BASE_VERSION 211
#define IDS_DESCRIPTOR_ERROR 212
#define IDS_INSTALL_OK 213

// Resource type of the descriptor and the payload chunks.
#define QPATCH_TYPE L"QPATCH"
#define QPATCH_TYPE_U16 u"QPATCH"  // the same name for the publisher's tool, on any host
#define IDR_DESCRIPTOR 2000
#define IDR_FIRST_CHUNK 1601
#ifndef RC_INVOKED
// Chunks run from IDR_FIRST_CHUNK up to the first missing id; the descriptor's id is never one.
enum : unsigned short { LastChunkId = IDR_DESCRIPTOR - 1 };
#endif

// Sent by the install worker when it has finished; ends the dialog.
#define WM_INSTALL_DONE (WM_USER + 2000)
