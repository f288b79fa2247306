// The encrypted data file against the plain one, on a full table (1001 entries x 101 fields,
// 20-character values): the log-in (key derivation, read, decryption, parse) and the save with
// the key held (serialise, seal, atomic write). The save must stay within 1.5 times the plain
// save: the derivation is paid at the log-in only.
#include "bench/store/FullTable.h"
#include "store/DataFile.h"

#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

using namespace sirano;
using namespace sirano::test;
using sirano::bench::fullTable;
using sirano::bench::medianMs;

int main() {
    constexpr int kRuns = 15;
    constexpr int kDerivations = 5;
    QTemporaryDir dir;
    const QString plainPath = dir.filePath(QStringLiteral("plain.dat"));
    const QString sealedPath = dir.filePath(QStringLiteral("sealed.dat"));
    TestStore state = fullTable();
    const QString password = state.settings.masterPassword;

    const KdfParams params = calibratedKdfParams();
    const DataFileKey key = DataFileKey::create(password, params);
    saveDataFile(plainPath, state.generator, state.siteTable, state.settings);
    saveDataFile(sealedPath, state.generator, state.siteTable, state.settings, &key);

    const double savePlain = medianMs(
        kRuns, [&] { saveDataFile(plainPath, state.generator, state.siteTable, state.settings); });
    const double saveSealed = medianMs(kRuns, [&] {
        saveDataFile(sealedPath, state.generator, state.siteTable, state.settings, &key);
    });
    const double loadPlain = medianMs(kRuns, [&] { loadDataFile(plainPath, state.generator); });
    DataFileAccess held{QString(), DataFileKey::derive(password, params, key.salt())};
    const double loadHeldKey =
        medianMs(kRuns, [&] { loadDataFile(sealedPath, state.generator, &held); });
    const double derive =
        medianMs(kDerivations, [&] { DataFileKey::derive(password, params, key.salt()); });
    const double login = medianMs(kDerivations, [&] {
        DataFileAccess access{password, std::nullopt};
        if (loadDataFile(sealedPath, state.generator, &access).siteTable.siteCount() != kTableSlots)
            std::abort();
    });

    double loadAverage[1] = {0};
    getloadavg(loadAverage, 1);
    std::printf("full table: %d entries x %d fields; Argon2id %u passes over %u MiB\n", kTableSlots,
                kFieldColumns, params.passes, params.memKiB / 1024);
    std::printf("  save   plain %8.2f ms   encrypted %8.2f ms   ratio %.2f (at most 1.5)\n",
                savePlain, saveSealed, saveSealed / savePlain);
    std::printf("  load   plain %8.2f ms   encrypted, key held %8.2f ms\n", loadPlain, loadHeldKey);
    std::printf(
        "  log-in encrypted (derive + read + decrypt + parse) %8.2f ms; derivation %8.2f ms\n",
        login, derive);
    std::printf("  medians of %d runs (%d for the derivations); load average %.2f\n", kRuns,
                kDerivations, loadAverage[0]);
    return saveSealed <= 1.5 * savePlain ? 0 : 1;
}
