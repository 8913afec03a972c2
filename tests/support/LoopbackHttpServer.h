// A loopback HTTP(S) server for tests: tests/fixtures/http_test_server.py
// run as a child process on a free port of 127.0.0.1, stopped when the
// object goes (and by itself when the test process ends).
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

extern char** environ;

namespace orvextest {

class HttpTestServer {
public:
    // Serves the directory `root` below /files/; keeps its port file and
    // certificate in `workDir`.
    HttpTestServer(const std::string& root, const std::string& workDir, bool tls = false) {
        std::string script = std::string(ORVEX_FIXTURE_DIR) + "/http_test_server.py";
        std::string portFile = workDir + (tls ? "/tls-port" : "/port");
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
        for (int i = 0; i < 200 && m_pid > 0 && !std::filesystem::exists(portFile); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        std::string port = ReadFile(portFile);
        m_base = std::string(tls ? "https" : "http") + "://127.0.0.1:" + port;
    }
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;
    ~HttpTestServer() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    // url("/files/x") is "http://127.0.0.1:<port>/files/x".
    std::string url(const std::string& path) const { return m_base + path; }

private:
    pid_t m_pid = -1;
    std::string m_base;
};

}  // namespace orvextest
