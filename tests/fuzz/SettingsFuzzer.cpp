// defaults.json as anyone with the user's access may have edited it: read by Defaults, its
// tunnels loaded into a store and made into tunnels, and written back to the stored form.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "Defaults.h"
#include "FuzzEnvironment.h"
#include "Tunnel.h"
#include "TunnelStore.h"

namespace {

// What was read must read back the same once in our own form.
void roundTrips(const Value& v) {
    if (Value::fromJson(v.toJson()) != v) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzEnvironment::instance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string path = FuzzEnvironment::instance().file("defaults.json");
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
    Defaults defaults(path);
    if (!defaults.movedAsidePath().empty()) unlink(defaults.movedAsidePath().c_str());
    const Value stored = defaults.objectForKey("tunnels");
    roundTrips(stored);

    TunnelStore store;
    store.load(stored);
    const Value back = store.storedForm();
    roundTrips(back);
    TunnelStore again;
    again.load(back);
    (void)again.storedForm().dump();

    for (const TunnelPtr& t : Tunnel::tunnelsFromArray(stored)) {
        const Value dictionary = t->dictionary();
        roundTrips(dictionary);
        (void)Tunnel::tunnelFromDictionary(dictionary)->dictionary();
        (void)t->command().arguments();
    }
    unlink(path.c_str());
    return 0;
}
