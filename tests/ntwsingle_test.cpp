// Tests of the ntwsingle module.
#include "testutil.h"
