// The IPC namespace's objects that outlive the processes that made them:
// System V shared memory, semaphores and message queues, and POSIX message
// queues. A template that isolates its calls removes what a call left, so
// that the next call finds the namespace as empty as the first did.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/syscall.h>

#include <cerrno>

#include "functions.hpp"

// Linux 4.17: the *_STAT calls without the read permission check, so that an
// object its maker closed to everyone (mode 0) is found too.
#ifndef SHM_STAT_ANY
#define SHM_STAT_ANY 15
#endif
#ifndef SEM_STAT_ANY
#define SEM_STAT_ANY 20
#endif
#ifndef MSG_STAT_ANY
#define MSG_STAT_ANY 13
#endif

namespace containment {

namespace {

// The kernel's highest index in use is what *_INFO returns; *_STAT on an
// index gives the object's identifier, which IPC_RMID takes. Removing needs
// the caller to own or have made the object (or CAP_SYS_ADMIN), not to read it.
long remove_shared_memory()
{
    shm_info info = {};
    int highest = shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info));
    long removed = 0;
    for (int index = 0; index <= highest; ++index) {
        shmid_ds status = {};
        int id = shmctl(index, SHM_STAT_ANY, &status);
        if (id < 0 && errno == EINVAL) {  // before Linux 4.17: the readable ones
            id = shmctl(index, SHM_STAT, &status);
        }
        if (id >= 0 && shmctl(id, IPC_RMID, nullptr) == 0) {
            ++removed;
        }
    }
    return removed;
}

long remove_semaphores()
{
    seminfo info = {};
    int highest = semctl(0, 0, SEM_INFO, &info);
    long removed = 0;
    for (int index = 0; index <= highest; ++index) {
        semid_ds status = {};
        int id = semctl(index, 0, SEM_STAT_ANY, &status);
        if (id < 0 && errno == EINVAL) {
            id = semctl(index, 0, SEM_STAT, &status);
        }
        if (id >= 0 && semctl(id, 0, IPC_RMID) == 0) {
            ++removed;
        }
    }
    return removed;
}

long remove_message_queues()
{
    msginfo info = {};
    int highest = msgctl(0, MSG_INFO, reinterpret_cast<msqid_ds*>(&info));
    long removed = 0;
    for (int index = 0; index <= highest; ++index) {
        msqid_ds status = {};
        int id = msgctl(index, MSG_STAT_ANY, &status);
        if (id < 0 && errno == EINVAL) {
            id = msgctl(index, MSG_STAT, &status);
        }
        if (id >= 0 && msgctl(id, IPC_RMID, nullptr) == 0) {
            ++removed;
        }
    }
    return removed;
}

PyObject* remove_ipc_objects(PyObject*, PyObject* names)
{
    Ref sequence = sequence_snapshot(names, "names must be a sequence of str");
    if (!sequence) {
        return nullptr;
    }
    long removed = remove_shared_memory() + remove_semaphores() + remove_message_queues();
    Py_ssize_t count = PyTuple_GET_SIZE(sequence.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(sequence.get(), i);
        const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
        if (text == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_TypeError, "names must be a sequence of str");
            }
            return nullptr;
        }
        // mq_unlink takes the name without its leading slash.
        if (syscall(SYS_mq_unlink, text) == 0) {
            ++removed;
        }
    }
    return PyLong_FromLong(removed);
}

}  // namespace

PyMethodDef ipc_functions[] = {
    {"remove_ipc_objects", remove_ipc_objects, METH_O,
     "remove_ipc_objects($module, queue_names, /)\n--\n\n"
     "Remove every System V shared memory segment, semaphore set and message\n"
     "queue of this IPC namespace that the caller may remove (its own,\n"
     "whatever their modes), and the POSIX message queues named in\n"
     "`queue_names` (as listed in a mount of the mqueue file system). A\n"
     "segment still attached goes once its last user detaches. Returns how\n"
     "many objects were removed."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace containment
