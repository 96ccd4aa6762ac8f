// zemntwchk: checks that a (network) file system behaves as the product
// needs before installations share directories on it.
#include "ntw.h"

int main(int argc, char **argv)
{
    return ntw_main(argc, argv);
}
