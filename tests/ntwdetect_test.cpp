// End-to-end detection tests: simulated faulty file systems.
#include "testutil.h"
