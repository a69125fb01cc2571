// Mounts: the classic mount, umount and pivot_root calls, and the detached
// trees of the new mount API (open_tree, move_mount, mount_setattr), which
// copy a directory and set its attributes before it appears anywhere.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/syscall.h>

#include <cstdint>

#include "arguments.hpp"
#include "functions.hpp"

namespace containment {

namespace {

PyObject* mount_file_system(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"source", "target", "fstype", "flags", "data", nullptr};
    PathArgument source;
    PathArgument target;
    PathArgument fstype;
    std::uint64_t flags = 0;
    PathArgument data;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O&O&|O&O&:mount", keyword_names(keywords),
                                     convert_optional_path, &source, convert_path, &target,
                                     convert_optional_path, &fstype, convert_u64, &flags,
                                     convert_optional_path, &data)) {
        return nullptr;
    }
    if (mount(source.c_str(), target.c_str(), fstype.c_str(), flags, data.c_str()) < 0) {
        return raise_os_error("mount", target.given);
    }
    Py_RETURN_NONE;
}

PyObject* unmount(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"target", "flags", nullptr};
    PathArgument target;
    int flags = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|i:umount", keyword_names(keywords),
                                     convert_path, &target, &flags)) {
        return nullptr;
    }
    if (umount2(target.c_str(), flags) < 0) {
        return raise_os_error("umount", target.given);
    }
    Py_RETURN_NONE;
}

PyObject* pivot_root(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"new_root", "put_old", nullptr};
    PathArgument new_root;
    PathArgument put_old;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O&:pivot_root", keyword_names(keywords),
                                     convert_path, &new_root, convert_path, &put_old)) {
        return nullptr;
    }
    if (syscall(SYS_pivot_root, new_root.c_str(), put_old.c_str()) < 0) {
        return raise_os_error("pivot_root", new_root.given, put_old.given);
    }
    Py_RETURN_NONE;
}

PyObject* open_tree(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"path", "flags", nullptr};
    TargetArgument path;
    std::uint32_t flags = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O&:open_tree", keyword_names(keywords),
                                     convert_target, &path, convert_u32, &flags)) {
        return nullptr;
    }
    // A descriptor stands for what it is open on, found when it was opened:
    // no name is looked up again.
    const bool on_descriptor = path.fd >= 0;
    // Like every descriptor Python opens, this one is not inherited (PEP 446).
    flags |= OPEN_TREE_CLOEXEC | (on_descriptor ? AT_EMPTY_PATH : 0);
    long fd = syscall(SYS_open_tree, on_descriptor ? path.fd : AT_FDCWD,
                      on_descriptor ? "" : path.path.c_str(), flags);
    if (fd < 0) {
        return raise_os_error("open_tree", path.path.given);
    }
    PyObject* number = PyLong_FromLong(fd);
    if (number == nullptr) {
        close(static_cast<int>(fd));  // nobody else can close it
    }
    return number;
}

PyObject* move_mount(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"tree_fd", "target", nullptr};
    int tree_fd = -1;
    PathArgument target;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iO&:move_mount", keyword_names(keywords),
                                     &tree_fd, convert_path, &target)) {
        return nullptr;
    }
    if (syscall(SYS_move_mount, tree_fd, "", AT_FDCWD, target.c_str(),
                MOVE_MOUNT_F_EMPTY_PATH) < 0) {
        return raise_os_error("move_mount", target.given);
    }
    Py_RETURN_NONE;
}

PyObject* set_mount_attributes(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const keywords[] = {"target", "attr_set", "attr_clr", "recursive",
                                           "propagation", nullptr};
    TargetArgument target;
    mount_attr attributes = {};
    int recursive = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O&|O&pO&:mount_setattr",
                                     keyword_names(keywords), convert_target, &target,
                                     convert_u64, &attributes.attr_set, convert_u64,
                                     &attributes.attr_clr, &recursive, convert_u64,
                                     &attributes.propagation)) {
        return nullptr;
    }
    const bool on_descriptor = target.fd >= 0;
    unsigned int flags = (on_descriptor ? AT_EMPTY_PATH : 0) | (recursive ? AT_RECURSIVE : 0);
    if (syscall(SYS_mount_setattr, on_descriptor ? target.fd : AT_FDCWD,
                on_descriptor ? "" : target.path.c_str(), flags, &attributes,
                sizeof attributes) < 0) {
        return raise_os_error("mount_setattr", target.path.given);
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef mount_functions[] = {
    {"mount", keyword_method(mount_file_system), METH_VARARGS | METH_KEYWORDS,
     "mount($module, source, target, fstype, flags=0, data=None)\n--\n\n"
     "Mount `source` (a device, a directory for MS_BIND, or None) of type\n"
     "`fstype` on `target` with MS_* `flags` and the file system's option\n"
     "string `data`; with only MS_PRIVATE, MS_SLAVE (and MS_REC) it changes the\n"
     "propagation of the mount at `target`."},
    {"umount", keyword_method(unmount), METH_VARARGS | METH_KEYWORDS,
     "umount($module, target, flags=0)\n--\n\n"
     "Unmount the file system mounted at `target`; MNT_DETACH detaches it at\n"
     "once and lets it go when it is no longer in use."},
    {"pivot_root", keyword_method(pivot_root), METH_VARARGS | METH_KEYWORDS,
     "pivot_root($module, new_root, put_old)\n--\n\n"
     "Make the mount at `new_root` the root of this mount namespace and move\n"
     "the old root to `put_old`. With both \".\" (after os.chdir(new_root)) the\n"
     "old root is stacked on the new one; unmount it with umount(\".\",\n"
     "MNT_DETACH)."},
    {"open_tree", keyword_method(open_tree), METH_VARARGS | METH_KEYWORDS,
     "open_tree($module, path, flags)\n--\n\n"
     "Open the mount at `path` (a path, or a descriptor standing for what it\n"
     "is open on), or with OPEN_TREE_CLONE a detached copy of it\n"
     "(AT_RECURSIVE: with the mounts beneath it), and return the descriptor.\n"
     "The descriptor is always close-on-exec. Give it to mount_setattr and\n"
     "move_mount, then close it."},
    {"move_mount", keyword_method(move_mount), METH_VARARGS | METH_KEYWORDS,
     "move_mount($module, tree_fd, target)\n--\n\n"
     "Attach the tree open on `tree_fd` (from open_tree) at the path `target`."},
    {"mount_setattr", keyword_method(set_mount_attributes), METH_VARARGS | METH_KEYWORDS,
     "mount_setattr($module, target, attr_set, attr_clr=0, recursive=False,\n"
     "              propagation=0)\n--\n\n"
     "Set the MOUNT_ATTR_* bits `attr_set` and clear `attr_clr` on the mount\n"
     "at `target`: a path, or a descriptor from open_tree. `recursive` applies\n"
     "them to the mounts beneath it as well. A `propagation` of MS_PRIVATE\n"
     "or MS_SLAVE changes theirs (0: unchanged)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace containment
