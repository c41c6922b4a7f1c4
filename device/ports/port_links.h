// Changing the links of the port map (ports/COM<n> in the station folder, see port_map.h).
#pragma once

#include <QString>

namespace kestrel::device::ports {

// Makes ports/COM<number> a symbolic link to `target` (kept as given, so a link to a by-id
// path follows the device wherever it is plugged in). Replaces what held that number before
// in one step, and any link of the number in another case ("com5"). `number` is 1..999.
// False with a reason in `error` when it could not be done.
bool AssignPort(int number, const QString& target, QString* error);

// Removes every link that gives `number`. False with a reason when there was none or one
// could not be removed.
bool UnassignPort(int number, QString* error);

}  // namespace kestrel::device::ports
