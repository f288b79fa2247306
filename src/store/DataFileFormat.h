// The bytes of "SIRANO.DAT", in and out: the header with the scrambled settings, then one line
// per entry (docs/data-file.md).
#pragma once

#include "DataFileErrors.h"
#include "Generator.h"
#include "StoreContents.h"

#include <QByteArray>
#include <QString>

namespace sirano {

// Parses the bytes of a data file (CP932, or UTF-8 behind a byte-order mark). fileName only
// names the file in errors. Throws LoadError.
StoreContents parseDataFile(const QByteArray& bytes, Generator& gen, const QString& fileName);
// Serialises: CP932 when every plain text fits it, else UTF-8 with a byte-order mark.
// Throws SaveError (9) for settings outside the header's widths (login flag 0-9, minutes 0-999).
QByteArray serializeDataFile(const SiteTable& table, const Settings& settings, Generator& gen);

}  // namespace sirano
