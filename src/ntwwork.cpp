// ntwwork: what the checker knows of its work files.
//
// The work files lie in directories that others may write, under names that
// are easy to predict.  The checker therefore acts only on files it created
// itself: when it creates a work file it remembers, under the name, the
// file's device and inode and the owner it got, and every later open, owner
// change and removal of the name first compares the file met with what was
// remembered.  A file that the partner of a pairing created (mode double:
// the other instance's work file) was not created here; it is accepted when
// it has the owner that the checker's own files get on that file system,
// which is not always the running user: a server that maps root to another
// user (root_squash) gives the files of root that user.
//
// The table is plain data copied into a forked partner, which so knows the
// files its parent created.
#include "ntw.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Names of work files known at the same time: a run forms at most eight
// (two per checked directory and mode, and the stop file); a name that is
// created again reuses its entry.
constexpr int k_max_work_files = 16;
// File systems that the checked directories may lie on.
constexpr int k_max_file_systems = 4;

struct WorkFile {
    char path[NTW_WORKNAME_LEN];
    dev_t dev;
    ino_t ino;
    uid_t uid;
};

struct OwnOwner {
    dev_t dev;
    uid_t uid;
    bool known;
};

WorkFile s_files[k_max_work_files];
OwnOwner s_owners[k_max_file_systems];

WorkFile *find(const char *path)
{
    for (WorkFile &f : s_files) {
        if (f.path[0] != '\0' && std::strcmp(f.path, path) == 0)
            return &f;
    }
    return nullptr;
}

void learn_owner(dev_t dev, uid_t uid)
{
    OwnOwner *free_slot = nullptr;
    for (OwnOwner &o : s_owners) {
        if (o.known && o.dev == dev) {
            o.uid = uid;
            return;
        }
        if (!o.known && free_slot == nullptr)
            free_slot = &o;
    }
    if (free_slot != nullptr)
        *free_slot = {dev, uid, true};
}

} // namespace

uid_t work_own_owner(dev_t dev)
{
    for (const OwnOwner &o : s_owners) {
        if (o.known && o.dev == dev)
            return o.uid;
    }
    return geteuid();
}

int work_remember(const char *path, const struct stat *st)
{
    if (std::strlen(path) >= NTW_WORKNAME_LEN)
        return -1;
    WorkFile *slot = find(path);
    for (WorkFile &f : s_files) {
        if (slot == nullptr && f.path[0] == '\0')
            slot = &f;
    }
    if (slot == nullptr)
        return -1;
    std::strcpy(slot->path, path);
    slot->dev = st->st_dev;
    slot->ino = st->st_ino;
    slot->uid = st->st_uid;
    return 0;
}

void work_remember_created(const char *path, const struct stat *st)
{
    learn_owner(st->st_dev, st->st_uid);
    work_remember(path, st);
}

void work_remember_alias(const char *path, const char *alias)
{
    const WorkFile *f = find(path);
    if (f == nullptr)
        return;
    struct stat st = {};
    st.st_dev = f->dev;
    st.st_ino = f->ino;
    st.st_uid = f->uid;
    work_remember(alias, &st);
}

int work_is_remembered(const char *path)
{
    return find(path) != nullptr;
}

int work_matches(const char *path, const struct stat *st)
{
    const WorkFile *f = find(path);
    if (f == nullptr)
        return st->st_uid == work_own_owner(st->st_dev);
    return f->dev == st->st_dev && f->ino == st->st_ino && f->uid == st->st_uid;
}

int work_same_file(const char *path, const struct stat *st)
{
    const WorkFile *f = find(path);
    return f != nullptr && f->dev == st->st_dev && f->ino == st->st_ino;
}

void work_owner_changed(const char *path, uid_t uid)
{
    WorkFile *f = find(path);
    if (f != nullptr)
        f->uid = uid;
}

void work_forget(const char *path)
{
    WorkFile *f = find(path);
    if (f != nullptr)
        f->path[0] = '\0';
}
