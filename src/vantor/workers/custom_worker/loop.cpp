// main: the message loop. One JSON object per line in, one JSON line out per
// request, written with a single write and flushed at once.
#include "functions.hpp"
#include "globals.hpp"
#include "names.hpp"
#include "responses.hpp"
#include "text.hpp"

namespace worker {

namespace {

// signal.signal(signal.SIGINT, signal.SIG_IGN)
int ignore_interrupts()
{
    Ref register_handler = lookup_global_attr(names::signal, names::signal);
    Ref interrupt = register_handler ? lookup_global_attr(names::signal, names::SIGINT) : Ref();
    Ref ignore = interrupt ? lookup_global_attr(names::signal, names::SIG_IGN) : Ref();
    if (!ignore) {
        return -1;
    }
    PyObject* arguments[] = {interrupt.get(), ignore.get()};
    Ref previous = Ref::take(PyObject_Vectorcall(register_handler.get(), arguments, 2, nullptr));
    return previous ? 0 : -1;
}

// line.strip(); an exact str is stripped here exactly as str.strip() does.
Ref strip_line(PyObject* line)
{
    if (!PyUnicode_CheckExact(line)) {
        return Ref::take(PyObject_CallMethodNoArgs(line, names::strip));
    }
    // Strings built through the legacy wide-character API are read only
    // once made ready.
    if (capi::ready_text(line) < 0) {
        return {};
    }
    const int kind = PyUnicode_KIND(line);
    const void* data = PyUnicode_DATA(line);
    Py_ssize_t start = 0;
    Py_ssize_t end = PyUnicode_GET_LENGTH(line);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) {
        ++start;
    }
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) {
        --end;
    }
    return Ref::take(PyUnicode_Substring(line, start, end));
}

// text + "\n". A fresh str that nothing else holds is extended in place (as
// the interpreter does for `s + t`), so an answer of megabytes is not copied.
Ref with_line_feed(Ref text)
{
    if (PyUnicode_CheckExact(text.get())) {
        PyObject* extended = text.release();
        PyUnicode_Append(&extended, names::newline);
        return Ref::take(extended);
    }
    return Ref::take(PyNumber_Add(text.get(), names::newline));
}

// sys.stdout.write(json.dumps(response) + "\n"); sys.stdout.flush()
int write_answer(PyObject* response)
{
    Ref stream = lookup_global_attr(names::sys, names::stdout_);
    Ref dumps = stream ? lookup_global_attr(names::json, names::dumps) : Ref();
    Ref encoded = dumps ? Ref::take(PyObject_CallOneArg(dumps.get(), response)) : Ref();
    if (!encoded) {
        return -1;
    }
    Ref line = with_line_feed(std::move(encoded));
    Ref written = line ? Ref::take(PyObject_CallMethodOneArg(stream.get(), names::write,
                                                             line.get()))
                       : Ref();
    if (!written) {
        return -1;
    }
    Ref flushing_stream = lookup_global_attr(names::sys, names::stdout_);
    Ref flushed = flushing_stream ? Ref::take(PyObject_CallMethodNoArgs(flushing_stream.get(),
                                                                        names::flush))
                                  : Ref();
    return flushed ? 0 : -1;
}

// Answers a line that json.loads refused with a json.JSONDecodeError; any
// other error is kept and ends the loop.
int answer_invalid_json()
{
    Ref error = fetch_exception();
    HandledExceptionScope handling(error.get());
    Ref decode_error = lookup_global_attr(names::json, names::JSONDecodeError);
    if (!decode_error) {
        return -1;
    }
    if (!PyErr_GivenExceptionMatches(error.get(), decode_error.get())) {
        restore_exception(std::move(error));
        return -1;
    }
    Ref text = format_text(error.get());
    Ref message = text ? join_text({names::invalid_json_prefix, text.get()}) : Ref();
    Ref response = message ? failure_response(message.get()) : Ref();
    return response ? write_answer(response.get()) : -1;
}

// cmd.get("action") == "quit"
int asks_to_quit(PyObject* cmd)
{
    Ref action;
    if (PyDict_CheckExact(cmd)) {
        PyObject* found = PyDict_GetItemWithError(cmd, names::action);
        if (found == nullptr && PyErr_Occurred()) {
            return -1;
        }
        action = Ref::retain(found != nullptr ? found : Py_None);
    } else {
        action = Ref::take(PyObject_CallMethodOneArg(cmd, names::get, names::action));
        if (!action) {
            return -1;
        }
    }
    return PyObject_RichCompareBool(action.get(), names::quit, Py_EQ);
}

// Handles one stripped, non-blank line: 1 to stop reading, 0 to go on, -1 on
// error. The answer stays in `response` until the next one replaces it, so a
// large answer's memory is reused by the next request instead of being handed
// back to the system and faulted in again.
int answer_line(PyObject* line, Ref& response)
{
    Ref loads = lookup_global_attr(names::json, names::loads);
    if (!loads) {
        return -1;
    }
    Ref cmd = Ref::take(PyObject_CallOneArg(loads.get(), line));
    if (!cmd) {
        return answer_invalid_json();
    }
    Ref handle_command = lookup_global(names::handle_command);
    response = handle_command ? Ref::take(PyObject_CallOneArg(handle_command.get(), cmd.get()))
                              : Ref();
    if (!response || write_answer(response.get()) < 0) {
        return -1;
    }
    return asks_to_quit(cmd.get());
}

int run_loop()
{
    if (ignore_interrupts() < 0) {
        return -1;
    }
    Ref stdin_stream = lookup_global_attr(names::sys, names::stdin_);
    Ref lines = stdin_stream ? Ref::take(PyObject_GetIter(stdin_stream.get())) : Ref();
    if (!lines) {
        return -1;
    }
    Ref response;
    while (Ref raw = Ref::take(PyIter_Next(lines.get()))) {
        Ref line = strip_line(raw.get());
        int blank = line ? PyObject_Not(line.get()) : -1;
        if (blank != 0) {
            if (blank < 0) {
                return -1;
            }
            continue;
        }
        int outcome = answer_line(line.get(), response);
        if (outcome != 0) {
            return outcome < 0 ? -1 : 0;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* main_body(PyObject* const*)
{
    return run_loop() < 0 ? nullptr : Py_NewRef(Py_None);
}

}  // namespace

FunctionDef main_function = {
    "main",
    nullptr,
    nullptr,
    0,
    0,
    nullptr,
    main_body,
    {"vantor.workers.custom_worker.main", "custom_worker/loop.cpp", __LINE__},
};

}  // namespace worker
