// The process entry proper: hands the wide arguments to TavrilexMain. The only
// platform switch outside the platform header lives here, because the run-time
// start-up differs: Windows passes wide text, Linux passes bytes.
#include "Entry.h"

#ifdef _WIN32

extern "C" int wmain(int argc, wchar_t* argv[])
{
    return TavrilexMain(argc, argv);
}

#else

#include <string>
#include <vector>

// The arguments that matter are ASCII, so each byte becomes one code unit.
int main(int argc, char* argv[])
{
    std::vector<std::wstring> wide;
    for (int i = 0; i < argc; ++i) {
        std::wstring argument;
        for (const char* p = argv[i]; *p != '\0'; ++p) {
            argument.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
        }
        wide.push_back(argument);
    }
    std::vector<wchar_t*> pointers;
    for (std::wstring& argument : wide) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return TavrilexMain(argc, pointers.data());
}

#endif
