// Output capture for run_script and run_inline: sys.stdout and sys.stderr
// swapped for two new StringIO buffers, and put back on every way out.
#pragma once

#include "ref.hpp"

namespace worker {

class OutputCapture {
public:
    OutputCapture() = default;
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;
    // Restores the saved streams if finish() was not reached, keeping the
    // exception in flight (if the restore itself fails, its error takes the
    // one in flight as context, as a failing `finally` would).
    ~OutputCapture();

    // Saves sys.stdout then sys.stderr, creates the two buffers and installs
    // them in that order. 0, or -1 with an exception set.
    int install();

    PyObject* output_buffer() const { return output_.get(); }
    PyObject* error_buffer() const { return errors_.get(); }

    // Restores the saved streams and passes `result` on; null if `result`
    // was null (its exception kept) or if the restore failed.
    Ref finish(Ref result);

private:
    int restore_streams();

    Ref saved_output_;
    Ref saved_errors_;
    Ref output_;
    Ref errors_;
    bool installed_ = false;
};

}  // namespace worker
