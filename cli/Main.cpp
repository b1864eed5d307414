// The process entry proper: the run-time hands the wide arguments to wmain
// (the build links with -municode), and TavrilexMain chooses the role.
#include "Entry.h"

extern "C" int wmain(int argc, wchar_t* argv[])
{
    return TavrilexMain(argc, argv);
}
