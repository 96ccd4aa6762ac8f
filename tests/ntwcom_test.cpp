// Tests of the ntwcom module.
#include "testutil.h"
