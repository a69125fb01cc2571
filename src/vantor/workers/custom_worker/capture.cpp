// Output capture. Only the two attributes of the sys module are rebound:
// file descriptors and sys.stdin stay as they are.
#include "capture.hpp"

#include "globals.hpp"
#include "names.hpp"

namespace worker {

namespace {

int set_sys_attribute(PyObject* name, PyObject* value)
{
    Ref sys = lookup_global(names::sys);
    return sys ? PyObject_SetAttr(sys.get(), name, value) : -1;
}

Ref new_buffer()
{
    Ref factory = lookup_global(names::StringIO);
    return factory ? Ref::take(PyObject_CallNoArgs(factory.get())) : Ref();
}

}  // namespace

int OutputCapture::install()
{
    saved_output_ = lookup_global_attr(names::sys, names::stdout_);
    if (!saved_output_) {
        return -1;
    }
    saved_errors_ = lookup_global_attr(names::sys, names::stderr_);
    if (!saved_errors_) {
        return -1;
    }
    output_ = new_buffer();
    if (!output_) {
        return -1;
    }
    errors_ = new_buffer();
    if (!errors_) {
        return -1;
    }
    if (set_sys_attribute(names::stdout_, output_.get()) < 0) {
        return -1;
    }
    // From here the saved streams must come back, even if stderr cannot be set.
    installed_ = true;
    return set_sys_attribute(names::stderr_, errors_.get());
}

int OutputCapture::restore_streams()
{
    installed_ = false;
    if (set_sys_attribute(names::stdout_, saved_output_.get()) < 0) {
        return -1;
    }
    return set_sys_attribute(names::stderr_, saved_errors_.get());
}

Ref OutputCapture::finish(Ref result)
{
    if (!installed_) {
        return result;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (restore_streams() < 0) {
        if (type != nullptr) {
            capi::chain_exceptions(type, value, traceback);
        }
        return {};
    }
    PyErr_Restore(type, value, traceback);
    return result;
}

OutputCapture::~OutputCapture()
{
    (void)finish(Ref());
}

}  // namespace worker
