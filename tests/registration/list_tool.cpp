// list_tool write PATH COUNT
// Writes a software list of COUNT numbered records to PATH, for the tests
// that make the write fail part-way from outside the process.

#include <cstdlib>
#include <string>

#include "registration/software_list.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 4 || std::wstring(argv[1]) != L"write")
        return 2;
    SoftwareList list;
    const long count = std::wcstol(argv[3], nullptr, 10);
    for (long i = 0; i < count; ++i)
        list.push_back({"product " + std::to_string(i), std::to_string(100 + i), "7"});
    WriteSoftwareList(argv[2], list);
    return 0;
}
