/* A slow card reader for the benchmarks: serves one image file, read-only, as the file
 * "card" of a FUSE 3 mount, at a set bandwidth, as a card in a USB reader gives its
 * bytes. Every read takes as long as its bytes take at that bandwidth; reads are
 * served one at a time (-s), as one reader serves one card.
 *
 * Usage: throttlefs IMAGE MB_PER_S MOUNTPOINT [FUSE OPTIONS]   (unmount: fusermount3 -u)
 */
#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int image_fd = -1;
static struct stat image_stat;
static double bytes_per_second = 60e6;
static double next_free = 0; /* seconds since the mount when the reader is free again */
static struct timespec started;

static double seconds_since_start(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - started.tv_sec) + (double)(now.tv_nsec - started.tv_nsec) / 1e9;
}

/* Waits as long as `bytes` take at the reader's pace, from when it is free: whatever the
 * page cache under the image could give, and no credit saved up while it was idle. */
static void pace(size_t bytes)
{
    const double now = seconds_since_start();
    next_free = (next_free > now ? next_free : now) + (double)bytes / bytes_per_second;
    const double wait = next_free - now;
    struct timespec pause = {(time_t)wait, (long)((wait - (double)(time_t)wait) * 1e9)};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

static int fs_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    (void)fi;
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, "/card") != 0)
        return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = image_stat.st_size;
    st->st_mtime = image_stat.st_mtime;
    return 0;
}

static int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info *fi,
                      enum fuse_readdir_flags flags)
{
    (void)offset;
    (void)fi;
    (void)flags;
    if (strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buf, ".", NULL, 0, 0);
    fill(buf, "..", NULL, 0, 0);
    fill(buf, "card", NULL, 0, 0);
    return 0;
}

static int fs_open(const char *path, struct fuse_file_info *fi)
{
    if (strcmp(path, "/card") != 0)
        return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    fi->direct_io = 1; /* every read comes here, none from the kernel's cache */
    return 0;
}

static int fs_read(const char *path, char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
    (void)path;
    (void)fi;
    const ssize_t got = pread(image_fd, buf, size, offset);
    if (got < 0)
        return -errno;
    pace((size_t)got);
    return (int)got;
}

static const struct fuse_operations operations = {
    .getattr = fs_getattr,
    .readdir = fs_readdir,
    .open = fs_open,
    .read = fs_read,
};

int main(int argc, char *argv[])
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s IMAGE MB_PER_S MOUNTPOINT [FUSE OPTIONS]\n", argv[0]);
        return 2;
    }
    image_fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (image_fd < 0 || fstat(image_fd, &image_stat) != 0) {
        fprintf(stderr, "%s: cannot open %s: %s\n", argv[0], argv[1], strerror(errno));
        return 1;
    }
    bytes_per_second = atof(argv[2]) * 1e6;
    if (bytes_per_second <= 0) {
        fprintf(stderr, "%s: the bandwidth must be above 0 MB/s\n", argv[0]);
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &started);
    /* FUSE's own arguments: the program, the mount point, one thread, then the rest. */
    char **fuse_argv = calloc((size_t)argc + 2, sizeof *fuse_argv);
    if (!fuse_argv)
        return 1;
    int n = 0;
    fuse_argv[n++] = argv[0];
    fuse_argv[n++] = argv[3];
    fuse_argv[n++] = "-s";
    for (int i = 4; i < argc; ++i)
        fuse_argv[n++] = argv[i];
    const int status = fuse_main(n, fuse_argv, &operations, NULL);
    free(fuse_argv);
    return status;
}
