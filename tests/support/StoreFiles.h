// The data file as the tests write and read it: anything with a site table, settings and a
// generator (the program's state, or a bare store) saves to and loads from a path.
#pragma once

#include "store/DataFile.h"

#include <QString>
#include <utility>

namespace sirano::test {

// A store without the rest of the program.
struct TestStore {
    SiteTable siteTable;
    Settings settings;
    Generator generator;
};

template <typename State>
void saveStore(State& state, const QString& path) {
    saveDataFile(path, state.generator, state.siteTable, state.settings);
}

// The state is untouched when the load fails.
template <typename State>
void loadStore(State& state, const QString& path) {
    StoreContents loaded = loadDataFile(path, state.generator);
    state.siteTable = std::move(loaded.siteTable);
    state.settings = loaded.settings;
}

}  // namespace sirano::test
