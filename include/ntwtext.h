// Identifiers of the message catalogue (src/ntwmsg_catalog.def).
#pragma once

enum ntw_text_id {
#define NTW_TEXT(id, text) id,
#include "ntwmsg_catalog.def"
#undef NTW_TEXT
    MT_COUNT
};

// The EUC-JP bytes of a catalogue text: what the program prints.
const char *msg_text(ntw_text_id id);

// The same text as written in the catalogue (UTF-8), for tests.
const char *msg_text_utf8(ntw_text_id id);
