// Printing a label through Qt Print Support to a CUPS queue. Runs on any thread, one print at
// a time per thread; it waits for the print system, so the station calls it off the window
// thread (station/label_printing.h).
#pragma once

#include "label/label_template.h"
#include "label/label_values.h"

#include <QString>

namespace kestrel::label {

struct PrintRequest {
  LabelTemplate label;
  LabelValues values;
  QString printer;  // a CUPS queue; empty: the default printer
  int copies = 1;
  QString title;  // the print job's name
};

struct PrintResult {
  bool printed = false;
  QString printer;  // the queue used (the default printer's name when none was named)
  QString error;    // why not, when not printed
};

// Hands the label to the queue. A queue that is missing, stopped or cannot be opened gets no
// job (a label printed later would land on a later phone); the result says why.
PrintResult PrintLabel(const PrintRequest& request);

}  // namespace kestrel::label
