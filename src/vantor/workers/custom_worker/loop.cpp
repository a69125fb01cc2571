// main: the message loop. One JSON object per line in, one JSON line out per
// request, written with a single write and flushed at once.
#include "functions.hpp"
#include "globals.hpp"
#include "names.hpp"
#include "responses.hpp"
#include "text.hpp"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>

namespace worker {

namespace {

// Where answers go when the host asked for them apart from standard output,
// or -1 (sys.stdout). Process-wide, as the descriptor itself is.
int answer_fd = -1;

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

// sys.stdout.flush()
int flush_stdout()
{
    Ref stream = lookup_global_attr(names::sys, names::stdout_);
    Ref flushed = stream ? Ref::take(PyObject_CallMethodNoArgs(stream.get(), names::flush))
                         : Ref();
    return flushed ? 0 : -1;
}

// Writes all of `line` to answer_fd, however many writes the pipe takes.
int write_apart(PyObject* line)
{
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(line, &size);
    if (data == nullptr) {
        return -1;
    }
    while (size > 0) {
        ssize_t written;
        Py_BEGIN_ALLOW_THREADS
        written = write(answer_fd, data, static_cast<size_t>(size));
        Py_END_ALLOW_THREADS
        if (written < 0 && errno != EINTR) {
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        if (written < 0 && PyErr_CheckSignals() < 0) {
            return -1;
        }
        if (written > 0) {
            data += written;
            size -= written;
        }
    }
    return 0;
}

// os.environ.pop(name, None)
Ref pop_environ(PyObject* environ, PyObject* name)
{
    return Ref::take(PyObject_CallMethodObjArgs(environ, names::pop, name, Py_None, nullptr));
}

// answer_fd = int(os.environ.pop(VANTOR_WORKER_ANSWER_FD, None)), made
// close-on-exec: the host names a descriptor of its own for the answers, and
// neither the tools nor the programs they run are told of it. A line feed on
// it then tells the host the worker is ready for requests, unless
// VANTOR_WORKER_GREETED says a process that forks one loop per request has
// told it already.
int take_answer_fd()
{
    Ref environ = lookup_global_attr(names::os, names::environ);
    Ref value = environ ? pop_environ(environ.get(), names::answer_fd_variable) : Ref();
    Ref greeted = value ? pop_environ(environ.get(), names::greeted_variable) : Ref();
    if (!greeted) {
        return -1;
    }
    if (value.get() == Py_None) {
        answer_fd = -1;
        return 0;
    }
    Ref number = Ref::take(PyLong_FromUnicodeObject(value.get(), 10));
    long fd = number ? PyLong_AsLong(number.get()) : -1;
    if (fd == -1 && PyErr_Occurred()) {
        return -1;
    }
    errno = EBADF;
    if (fd < 0 || fd > INT_MAX || fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC) < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    answer_fd = static_cast<int>(fd);
    return greeted.get() == Py_None ? write_apart(names::newline) : 0;
}

// sys.stdout.write(json.dumps(response) + "\n"); sys.stdout.flush(). With an
// answer descriptor, the answer goes there instead, after everything printed
// so far has been flushed to standard output: the host, once it has the
// answer, finds all of the call's output already in its pipe.
int write_answer(PyObject* response)
{
    Ref stream = lookup_global_attr(names::sys, names::stdout_);
    Ref dumps = stream ? lookup_global_attr(names::json, names::dumps) : Ref();
    Ref encoded = dumps ? Ref::take(PyObject_CallOneArg(dumps.get(), response)) : Ref();
    if (!encoded) {
        return -1;
    }
    Ref line = with_line_feed(std::move(encoded));
    if (line && answer_fd >= 0) {
        return flush_stdout() < 0 ? -1 : write_apart(line.get());
    }
    Ref written = line ? Ref::take(PyObject_CallMethodOneArg(stream.get(), names::write,
                                                             line.get()))
                       : Ref();
    return written ? flush_stdout() : -1;
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
    if (ignore_interrupts() < 0 || take_answer_fd() < 0) {
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
