// kestrel-cli's command line before a command sees it. --help (-h) and --version count
// wherever they stand. Before the command word only --station-dir DIR may stand; after it, the
// command's own options, in any order among its words. Every option is --NAME or --NAME=VALUE
// (one taking a value also --NAME VALUE); "--" ends the options. An unknown option, a missing
// value or an empty folder is refused, naming the argument.
#pragma once

#include <QString>
#include <QStringList>

namespace kestrel::cli {

// What a command takes: the options with a value and the flags, by name without the dashes
// (matched without regard to case; the command reads them as given).
struct CommandOptions {
  QStringList values;
  QStringList flags;
};

struct CommandLine {
  enum class Action { Run, Help, Version, Refuse };
  Action action = Action::Run;
  QString command;        // the command word (Run)
  QStringList arguments;  // for the command: its words in order, then each option as given
                          // (--NAME, then its value as an argument of its own)
  QString error;          // Refuse: what is wrong
};

// `arguments` without the program; `optionsOf` gives a command word's options, false for an
// unknown command.
CommandLine ParseCommandLine(const QStringList& arguments,
                             bool (*optionsOf)(const QString& command, CommandOptions* options));

}  // namespace kestrel::cli
