// A loopback HTTP(S) server for tests: tests/fixtures/http_test_server.py
// run as a child process on a free port of 127.0.0.1, stopped when the
// object goes (and by itself when the test process ends).
//
// On Windows the tests run under Wine, which starts Linux programs given by
// their path (Z:\usr\bin\python3), though without a process handle: the
// server then watches an owner file that this object holds open with
// delete-on-close, so that it ends with the object or the test process.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "WinePeers.h"

namespace orvextest {


class HttpTestServer {
public:
    // Serves the directory `root` below /files/; keeps its port file and
    // certificate in `workDir`.
    HttpTestServer(const std::string& root, const std::string& workDir, bool tls = false) {
        std::string script = std::string(ORVEX_FIXTURE_DIR) + "/http_test_server.py";
        std::string portFile = workDir + (tls ? "/tls-port" : "/port");
#if defined(_WIN32)
        std::string ownerFile = workDir + (tls ? "/tls-owner" : "/owner");
        m_owner = CreateFileA(ownerFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        std::vector<std::string> args = {"/usr/bin/python3", WineUnixPath(script), "--root", WineUnixPath(root),
                                         "--port-file", WineUnixPath(portFile), "--owner-file",
                                         WineUnixPath(ownerFile)};
        if (tls) {
            std::string cert = workDir + "/cert.pem", key = workDir + "/key.pem";
            // A self-signed certificate, which clients must refuse.
            if (!StartLinuxProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                                    "1", "-subj", "/CN=127.0.0.1", "-keyout", WineUnixPath(key), "-out",
                                    WineUnixPath(cert)}) ||
                !WaitForFileText(cert, "-----END CERTIFICATE-----", 20000))
                return;
            args.insert(args.end(), {"--tls", WineUnixPath(cert), WineUnixPath(key)});
        }
        if (m_owner == INVALID_HANDLE_VALUE || args[1].empty() || !StartLinuxProgram(args)) return;
        bool started = true;
#else
        std::string owner = std::to_string(getpid());
        std::vector<std::string> args = {"python3", script, "--root", root, "--port-file", portFile, "--owner", owner};
        if (tls) {
            std::string cert = workDir + "/cert.pem", key = workDir + "/key.pem";
            // A self-signed certificate, which clients must refuse.
            RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " +
                       ShellQuote(key) + " -out " + ShellQuote(cert) + " 2>/dev/null");
            args.insert(args.end(), {"--tls", cert, key});
        }
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        if (posix_spawnp(&m_pid, "python3", nullptr, nullptr, argv.data(), environ) != 0) m_pid = -1;
        bool started = m_pid > 0;
#endif
        for (int i = 0; i < 400 && started && !std::filesystem::exists(portFile); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        std::string port = ReadFile(portFile);
        if (!port.empty()) m_base = std::string(tls ? "https" : "http") + "://127.0.0.1:" + port;
    }
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;
    ~HttpTestServer() {
#if defined(_WIN32)
        // The server sees its owner file go and ends within a moment.
        if (m_owner != INVALID_HANDLE_VALUE) CloseHandle(m_owner);
#else
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
#endif
    }
    // False when the server could not be started (on Windows: not under
    // Wine, where no Linux peer can run).
    bool running() const { return !m_base.empty(); }
    // url("/files/x") is "http://127.0.0.1:<port>/files/x".
    std::string url(const std::string& path) const { return m_base + path; }

private:
#if defined(_WIN32)
    HANDLE m_owner = INVALID_HANDLE_VALUE;
#else
    pid_t m_pid = -1;
#endif
    std::string m_base;
};

// In a test body: skips the test where the server cannot run (Windows
// outside Wine); elsewhere a server that did not start fails the test.
#if defined(_WIN32)
#define ORVEX_REQUIRE_HTTP_SERVER(server) \
    if (!(server).running()) GTEST_SKIP() << "no Linux Python for the loopback server outside Wine"
#else
#define ORVEX_REQUIRE_HTTP_SERVER(server) ASSERT_TRUE((server).running()) << "loopback server"
#endif

}  // namespace orvextest
