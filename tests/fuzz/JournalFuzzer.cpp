// A tunnel's journal file, which anyone with the user's access may have edited: parsed, each
// event formatted, then read through a journal (set aside when it is not one) and written to.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

#include "FuzzEnvironment.h"
#include "TunnelJournal.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzEnvironment::instance();
    TunnelJournal("fuzz").record("made");  // makes the folder
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string_view contents(reinterpret_cast<const char*>(data), size);
    bool corrupt = false;
    for (const JournalEvent& e : TunnelJournal::parse(contents, &corrupt)) (void)e.formatted();

    const std::string path = TunnelJournal::folder() + "/fuzz.journal";
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(contents.data(), static_cast<std::streamsize>(size));
    TunnelJournal journal("fuzz");
    for (const JournalEvent& e : journal.events()) (void)e.formatted();
    journal.record("Stopped\tby a line\nof its own");
    (void)journal.events();
    for (const char* file : {"/fuzz.journal", "/fuzz.journal.1", "/fuzz.journal.corrupt"})
        std::remove((TunnelJournal::folder() + file).c_str());
    return 0;
}
