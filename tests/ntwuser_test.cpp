// Tests of the ntwuser module.
#include "testutil.h"
