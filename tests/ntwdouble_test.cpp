// Tests of the ntwdouble module.
#include "testutil.h"
