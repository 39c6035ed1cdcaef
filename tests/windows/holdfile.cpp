// Holds a file open the way another program would, for the Windows tests of files held by
// other programs:
//   holdfile PATH MS spreadsheet   read access, sharing only reading (a spreadsheet program
//                                  that has the file open: no one may write, rename or delete it)
//   holdfile PATH MS scanner       read access, sharing reading and writing but not deleting
//                                  (a virus scanner looking at a fresh file: it cannot be
//                                  renamed until the scan ends)
// Prints "HELD" once the file is open, holds it MS milliseconds, closes it and exits 0;
// exits 1 when the file cannot be opened.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t* argv[]) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: holdfile PATH MS spreadsheet|scanner\n");
    return 2;
  }
  const DWORD share = std::wcscmp(argv[3], L"scanner") == 0 ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
  HANDLE h = CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "holdfile: cannot open the file, error %lu\n", GetLastError());
    return 1;
  }
  std::printf("HELD\n");
  std::fflush(stdout);
  Sleep(DWORD(std::wcstoul(argv[2], nullptr, 10)));
  CloseHandle(h);
  return 0;
}
