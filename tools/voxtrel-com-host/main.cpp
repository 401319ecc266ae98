// voxtrel-com-host.exe: `run [--json] [FILE]` executes a `voxtrel run` script against the ActiveX
// control, created by its program id through COM, with its events through a connection point.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "com/com_ptr.h"
#include "com_event_sink.h"
#include "com_script_target.h"
#include "script_host.h"

namespace {

const char kUsage[] =
    "usage: voxtrel-com-host run [--json] [FILE]\n"
    "Creates the ActiveX control VOXTREL.VoxtrelCtrl.1 through COM on this thread, connects to\n"
    "its events and executes the commands of FILE (standard input when FILE is absent or -), one\n"
    "per line: a method of the control with exactly its arguments, or one of the directives\n"
    "  wait EVENT [SECONDS]   pump messages until EVENT fires (default 10 seconds)\n"
    "  pump SECONDS           pump messages for that long\n"
    "  sleep SECONDS          block without pumping\n"
    "  window create|destroy  answered with an error: the control's window is its container's\n"
    "  quit                   end the script\n"
    "With --json every method result, event, timed-out wait and error is one JSON line.\n"
    "The control must be registered first: regsvr32 voxtrel.ocx\n";

void ReportHresult(const char* what, HRESULT hr) {
    std::fprintf(stderr, "voxtrel-com-host: %s: 0x%08lX\n", what, static_cast<unsigned long>(hr));
}

// Runs the script with one control; the exit code of `run`.
int RunScript(std::istream& input, bool json) {
    using voxtrel::com::ComPtr;
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"VOXTREL.VoxtrelCtrl.1", &clsid);
    if (FAILED(hr)) {
        ReportHresult("the control VOXTREL.VoxtrelCtrl.1 is not registered", hr);
        return 1;
    }
    ComPtr<IDispatch> control;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                          reinterpret_cast<void**>(control.Put()));
    if (FAILED(hr)) {
        ReportHresult("cannot create the control", hr);
        return 1;
    }
    voxtrel::com::ComScriptTarget target(control);
    voxtrel::ScriptHost host(target, std::cout, json);
    auto sink = voxtrel::com::ComEventSink::Connect(control.Get(), host, hr);
    if (!sink) {
        ReportHresult("cannot connect to the control's events", hr);
        return 1;
    }
    host.Run(input);
    sink->Disconnect();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Bytes in and out exactly as given: no CR LF translation, no end of file at Ctrl-Z.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2 || std::strcmp(argv[1], "run") != 0) {
        bool help =
            argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
        std::fputs(kUsage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    bool json = false;
    const char* file = nullptr;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] != 0) {
            std::fprintf(stderr, "voxtrel-com-host run: unknown option %s\n%s", argv[i], kUsage);
            return 2;
        } else if (file == nullptr) {
            file = argv[i];
        } else {
            std::fprintf(stderr, "voxtrel-com-host run: more than one script\n%s", kUsage);
            return 2;
        }
    }
    std::ifstream script;
    const bool fromStdin = file == nullptr || std::strcmp(file, "-") == 0;
    if (!fromStdin) {
        script.open(file, std::ios::binary);
        if (!script) {
            std::fprintf(stderr, "voxtrel-com-host run: cannot open %s\n", file);
            return 2;
        }
    }
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
        ReportHresult("COM cannot be initialised", hr);
        return 1;
    }
    int code = RunScript(fromStdin ? std::cin : script, json);
    CoUninitialize();
    return code;
}
