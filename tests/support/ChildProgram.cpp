// orvex_test_child: a small program for the process tests, so that they need
// no shell, sleep or printf (Windows has none). It works through its
// arguments in order:
//   print TEXT      writes TEXT to standard output (\n, \\ and \ooo octal
//                   escapes decoded)
//   err TEXT        the same to standard error
//   zeros N         writes N zero bytes
//   flood           writes to standard output without end (until a write
//                   fails)
//   closeout        closes standard output
//   sleep SECONDS   sleeps
//   exit N          ends with exit code N
//   spawn N SECONDS starts N copies of itself that sleep (inheriting the
//                   standard handles) and prints their ids, one a line
//   breakaway SECONDS  tries to start a copy of itself that sleeps outside
//                   its job (Windows); prints its id, or "refused"
//   handle VALUE    prints "leaked" when VALUE is an open handle here,
//                   else "clean" (Windows)
//   args A...       prints the count of the remaining arguments, then each
//                   in brackets: "2[a][b]"
//   touch NAME...   creates each file NAME (in the current directory)
//   record FILE A...  writes what "args A..." prints to FILE (whole, through
//                   a rename)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

std::string Decode(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (*p != '\\' || !p[1]) {
            out += *p;
            continue;
        }
        ++p;
        if (*p == 'n') {
            out += '\n';
        } else if (*p >= '0' && *p <= '7') {
            int value = 0;
            for (int i = 0; i < 3 && *p >= '0' && *p <= '7'; ++i, ++p) value = value * 8 + (*p - '0');
            --p;
            out += static_cast<char>(value);
        } else {
            out += *p;
        }
    }
    return out;
}

std::string Listing(int count, char** args) {
    std::string out = std::to_string(count);
    for (int i = 0; i < count; ++i) out += std::string("[") + args[i] + "]";
    return out;
}

void Write(FILE* f, const std::string& bytes) {
    fwrite(bytes.data(), 1, bytes.size(), f);
    fflush(f);
}

bool Spawn(const char* seconds, unsigned long* id, unsigned long flags = 0) {
#if defined(_WIN32)
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" sleep " + std::to_wstring(std::atoi(seconds));
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(self, &line[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr, &si, &pi)) return false;
    *id = pi.dwProcessId;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
#else
    (void)seconds;
    (void)id;
    (void)flags;
    return false;
#endif
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    for (int i = 1; i < argc; ++i) {
        std::string verb = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : "";
        if (verb == "print") {
            Write(stdout, Decode(next));
            ++i;
        } else if (verb == "err") {
            Write(stderr, Decode(next));
            ++i;
        } else if (verb == "zeros") {
            Write(stdout, std::string(static_cast<size_t>(std::atol(next)), '\0'));
            ++i;
        } else if (verb == "flood") {
            const std::string chunk(65536, 'y');
            while (fwrite(chunk.data(), 1, chunk.size(), stdout) == chunk.size()) {
            }
            return 4;
        } else if (verb == "closeout") {
            fclose(stdout);
#if defined(_WIN32)
            CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
#endif
        } else if (verb == "sleep") {
            std::this_thread::sleep_for(std::chrono::seconds(std::atoi(next)));
            ++i;
        } else if (verb == "exit") {
            return std::atoi(next);
        } else if (verb == "spawn") {
            int count = std::atoi(next);
            const char* seconds = i + 2 < argc ? argv[i + 2] : "0";
            for (int k = 0; k < count; ++k) {
                unsigned long id = 0;
                if (!Spawn(seconds, &id)) return 2;
                Write(stdout, std::to_string(id) + "\n");
            }
            i += 2;
        } else if (verb == "breakaway") {
            unsigned long id = 0;
#if defined(_WIN32)
            const unsigned long breakaway = CREATE_BREAKAWAY_FROM_JOB;
#else
            const unsigned long breakaway = 0;
#endif
            Write(stdout, Spawn(next, &id, breakaway) ? std::to_string(id) : std::string("refused"));
            ++i;
        } else if (verb == "handle") {
#if defined(_WIN32)
            DWORD flags = 0;
            HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoul(next, nullptr, 10)));
            Write(stdout, GetHandleInformation(h, &flags) ? "leaked" : "clean");
#endif
            ++i;
        } else if (verb == "args") {
            Write(stdout, Listing(argc - i - 1, argv + i + 1));
            return 0;
        } else if (verb == "touch") {
            for (int k = i + 1; k < argc; ++k) {
                FILE* f = fopen(argv[k], "wb");
                if (!f) return 3;
                fclose(f);
            }
            return 0;
        } else if (verb == "record") {
            const std::string target = next;
            const std::string tmp = target + ".tmp";
            FILE* f = fopen(tmp.c_str(), "wb");
            if (!f) return 3;
            Write(f, Listing(argc - i - 2, argv + i + 2));
            fclose(f);
            return std::rename(tmp.c_str(), target.c_str()) == 0 ? 0 : 3;
        } else {
            return 2;
        }
    }
    return 0;
}
