// The message catalogue as compiled into the program: EUC-JP bytes generated
// at build time, plus the UTF-8 originals for the tests.
#include "ntwtext.h"

namespace {

constexpr const char *k_eucjp[] = {
#include "ntwmsg_catalog_eucjp.inc"
};

constexpr const char *k_utf8[] = {
#define NTW_TEXT(id, text) text,
#include "ntwmsg_catalog.def"
#undef NTW_TEXT
};

static_assert(sizeof k_eucjp / sizeof k_eucjp[0] == MT_COUNT, "catalogue out of step");
static_assert(sizeof k_utf8 / sizeof k_utf8[0] == MT_COUNT, "catalogue out of step");

} // namespace

const char *msg_text(ntw_text_id id)
{
    return k_eucjp[id];
}

const char *msg_text_utf8(ntw_text_id id)
{
    return k_utf8[id];
}
