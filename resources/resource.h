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
#define IDS_DELTA_BASE_MISMATCH 214
#define IDS_LAST_TEXT IDS_DELTA_BASE_MISMATCH  // the texts run from IDS_TITLE to here

// Resource type of the descriptor and the payload chunks.
#define QPATCH_TYPE L"QPATCH"
#define QPATCH_TYPE_U16 u"QPATCH"  // the same name for the publisher's tool, on any host
#define IDR_DESCRIPTOR 2000
#define IDR_FIRST_CHUNK 1601
// Resource type of the deltas: changed files sent as their difference from the installed file.
// Ids run from IDR_FIRST_CHUNK up to the first missing id, as the chunks do. Each resource is a
// run of entries laid out as a chunk's (payload/walk.h), each of a whole-file kind whose data is
// a delta (delta/common/delta_format.h) of the file it names; a range entry there is damage. The
// deltas of one target follow each other, one per distinct base, and the installer applies the
// one whose base is installed. An installer made before deltas reads only QPATCH and never
// sees them.
#define QPATCH_DELTA_TYPE L"QPATCHDELTA"
#define QPATCH_DELTA_TYPE_U16 u"QPATCHDELTA"
#ifndef RC_INVOKED
// Chunks run from IDR_FIRST_CHUNK up to the first missing id; the descriptor's id is never one.
enum : unsigned short { LastChunkId = IDR_DESCRIPTOR - 1 };
#endif

// Sent by the install worker when it has finished; ends the dialog.
#define WM_INSTALL_DONE (WM_USER + 2000)
