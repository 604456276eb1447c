/* tbench: one measured run of one workload, against the log server, a floor program or a
 * peer log writer. Every run checks its output (every byte kept, every message whole, each
 * client's messages in order) before it prints its figures; a failed check prints
 * check=FAIL and exits 3.
 *
 *   tbench throughput --kind=K --dir=D --clients=N --count=C --size=B [--server=PATH]
 *   tbench rounds     --dir=D --server=PATH --clients=N --rounds=R        (idle memory too)
 *   tbench hold       --dir=D --server=PATH --clients=N                   (N idle clients)
 *   tbench cycles     --dir=D --server=PATH --cycles=N                    (connect-send-close)
 *   tbench latency    --kind=K --dir=D --rate=R --seconds=S [--server=PATH]
 *
 * Kinds: tobrin, tobrin-lib and tobrin-lib-many (the same server, fed through the client
 * library: tobrin_send per message, tobrin_send_many per 64), tobrin-async (tobrin_send per
 * message into an asynchronous client: tobrin_open with --buffer=BYTES and --flush-ms=MS,
 * TOBRIN_WAIT, so that nothing is dropped), tobrin-cmd (command mode into cat), tobrin-wine
 * (--server=the .exe, --client=win_client.exe), floor-write, floor-recv, floor-mmsg,
 * floor-threads, floor-threads-mmsg, svlogd, multilog, s6-log, rotatelogs, cat.
 *
 * Client CPU is each client process's user+sys (wait4), its sender threads included; for
 * the clients that send on a socket, also the CPU of the thread that makes the sends
 * (CLOCK_THREAD_CPUTIME_ID), which is what a send costs the application's own thread.
 *
 * The peers' writers do one write() per line, or with --feed=blocks one write() per block of
 * whole lines, as a program whose standard output is a pipe writes through stdio: blocks of
 * up to 64 KiB with one writer; with several writers on the one pipe, of up to PIPE_BUF
 * bytes, the most that the kernel never interleaves with another writer's write.
 *
 * The messages are made by message.h, so that the checker can rebuild every one of them.
 *
 * Results are one line of tab-separated key=value pairs on standard output. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "message.h"
#include "tobrin/client.h"

#define MAX_MSG 32768
#define MAX_FILES 64
#define LIMIT_DEFAULT 10485760L
#define BACKUPS_DEFAULT 10

/* ---------------------------------------------------------------- options, helpers */

struct opts {
  const char *kind, *dir, *server, *client_exe, *feed;
  int clients, size, rounds, cycles, backups;
  long count, limit;
  double rate, seconds;
  long buffer; /* tobrin-async: buffer_bytes and flush_ms */
  int flush_ms;
};

static struct opts o = {
    "tobrin",        NULL, NULL,          NULL,  "lines", 1,      100, 100, 10000,
    BACKUPS_DEFAULT, 1000, LIMIT_DEFAULT, 10000, 3,       262144, 100};

static void die(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fprintf(stderr, "tbench: ");
  vfprintf(stderr, fmt, ap);
  fprintf(stderr, "\n");
  va_end(ap);
  exit(2);
}

static int64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static void pause_us(long us) {
  struct timespec t = {us / 1000000, (us % 1000000) * 1000};
  nanosleep(&t, NULL);
}

static double tv_s(struct timeval t) { return t.tv_sec + t.tv_usec * 1e-6; }
static double cpu_s(const struct rusage *r) { return tv_s(r->ru_utime) + tv_s(r->ru_stime); }

/* The wine loader: $TOBRIN_WINE (wine64 where the kernel cannot run 32-bit code), else wine. */
static const char *wine_loader(void) {
  const char *loader = getenv("TOBRIN_WINE");
  return loader && *loader ? loader : "wine";
}

/* With --pin=1 the server (or floor, or peer) runs on CPU 1 and the clients on CPU 0, so that
 * the scheduler's placement is the same in every run. */
static int pin = 0;
static void pin_to(int cpu) {
  if (!pin) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

static void path_in(char *out, size_t cap, const char *name) {
  if ((size_t)snprintf(out, cap, "%s/%s", o.dir, name) >= cap) die("path too long: %s", name);
}

static void parse_options(int argc, char **argv) {
  for (int i = 2; i < argc; ++i) {
    char *a = argv[i], *v = strchr(a, '=');
    if (strncmp(a, "--", 2) != 0 || !v) die("bad argument %s", a);
    *v++ = '\0';
    a += 2;
    if (!strcmp(a, "kind"))
      o.kind = v;
    else if (!strcmp(a, "dir"))
      o.dir = v;
    else if (!strcmp(a, "server"))
      o.server = v;
    else if (!strcmp(a, "client"))
      o.client_exe = v;
    else if (!strcmp(a, "feed"))
      o.feed = v;
    else if (!strcmp(a, "clients"))
      o.clients = atoi(v);
    else if (!strcmp(a, "count"))
      o.count = atol(v);
    else if (!strcmp(a, "size"))
      o.size = atoi(v);
    else if (!strcmp(a, "rounds"))
      o.rounds = atoi(v);
    else if (!strcmp(a, "cycles"))
      o.cycles = atoi(v);
    else if (!strcmp(a, "limit"))
      o.limit = atol(v);
    else if (!strcmp(a, "backups"))
      o.backups = atoi(v);
    else if (!strcmp(a, "rate"))
      o.rate = atof(v);
    else if (!strcmp(a, "seconds"))
      o.seconds = atof(v);
    else if (!strcmp(a, "pin"))
      pin = atoi(v);
    else if (!strcmp(a, "buffer"))
      o.buffer = atol(v);
    else if (!strcmp(a, "flush-ms"))
      o.flush_ms = atoi(v);
    else
      die("unknown option --%s", a);
  }
  if (!o.dir) die("--dir is required");
  if (o.size <= HEAD || o.size > MAX_MSG) die("--size must be %d..%d", HEAD + 1, MAX_MSG);
  if (o.clients < 1 || o.clients > 99999) die("--clients must be 1..99999");
  if (strcmp(o.feed, "lines") && strcmp(o.feed, "blocks")) die("--feed must be lines or blocks");
  if (o.buffer < 1 || o.flush_ms < 0) die("--buffer must be at least 1, --flush-ms at least 0");
}

/* ---------------------------------------------------------------- messages */

/* All messages of one client, back to back. */
static char *build_messages(int client, long count, int size) {
  char *all = malloc((size_t)count * size);
  if (!all) die("out of memory for %ld messages", count);
  for (long s = 0; s < count; ++s) make_message(all + (size_t)s * size, size, client, s);
  return all;
}

/* ---------------------------------------------------------------- output files */

enum order { ORDER_TOBRIN, ORDER_TAI, ORDER_SLOTS, ORDER_SINGLE };

struct data_file {
  char name[256];
  long key;
  off_t size;
};

static int is_library_kind(const char *kind) {
  return !strcmp(kind, "tobrin-lib") || !strcmp(kind, "tobrin-lib-many") ||
         !strcmp(kind, "tobrin-async");
}

static enum order order_of(const char *kind) {
  if (!strcmp(kind, "svlogd") || !strcmp(kind, "multilog") || !strcmp(kind, "s6-log"))
    return ORDER_TAI;
  if (!strcmp(kind, "rotatelogs")) return ORDER_SLOTS;
  if (!strcmp(kind, "tobrin") || !strcmp(kind, "tobrin-wine") || is_library_kind(kind))
    return ORDER_TOBRIN;
  return ORDER_SINGLE;
}

/* The name of the file that receives new bytes. */
static const char *live_name(enum order order) {
  switch (order) {
    case ORDER_TOBRIN:
    case ORDER_SLOTS:
      return "server.log";
    case ORDER_TAI:
      return "current";
    default:
      return "out.txt";
  }
}

/* Sort key of a data file, oldest first; -1 when the name is not one of the data files.
 * The server's backups are used in rising number while there are free numbers, and the
 * workloads never fill the ring, so the number orders them; the live file is newest. */
static long file_key(enum order order, const char *name, char *tai) {
  char *end;
  long n;
  switch (order) {
    case ORDER_TOBRIN:
      if (!strcmp(name, "server.log")) return 1L << 40;
      if (strncmp(name, "server", 6) != 0) return -1;
      n = strtol(name + 6, &end, 10);
      return end != name + 6 && !strcmp(end, ".log") ? n : -1;
    case ORDER_SLOTS:
      if (!strcmp(name, "server.log")) return 0;
      if (strncmp(name, "server.log.", 11) != 0) return -1;
      n = strtol(name + 11, &end, 10);
      return end != name + 11 && !*end ? n : -1;
    case ORDER_TAI:
      if (!strcmp(name, "current")) return 1L << 40;
      if (name[0] != '@') return -1;
      strcpy(tai, name);
      return 0; /* ordered by name below */
    default:
      return strcmp(name, "out.txt") ? -1 : 0;
  }
}

static int compare_files(const void *a, const void *b) {
  const struct data_file *x = a, *y = b;
  if (x->key != y->key) return x->key < y->key ? -1 : 1;
  return strcmp(x->name, y->name);
}

static int list_files(enum order order, struct data_file *files) {
  DIR *d = opendir(o.dir);
  if (!d) return 0;
  int n = 0;
  struct dirent *e;
  char tai[256];
  while ((e = readdir(d)) && n < MAX_FILES) {
    long key = file_key(order, e->d_name, tai);
    if (key < 0) continue;
    char path[1024];
    path_in(path, sizeof path, e->d_name);
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    snprintf(files[n].name, sizeof files[n].name, "%s", e->d_name);
    files[n].key = key;
    files[n].size = st.st_size;
    ++n;
  }
  closedir(d);
  qsort(files, n, sizeof *files, compare_files);
  return n;
}

static long long data_bytes(enum order order, int *nfiles) {
  struct data_file files[MAX_FILES];
  int n = list_files(order, files);
  long long total = 0;
  for (int i = 0; i < n; ++i) total += files[i].size;
  if (nfiles) *nfiles = n;
  return total;
}

/* Waits until the output holds `expected` bytes; false on too many, or when it has not
 * grown for 10 s, or after `timeout_s` in all. */
static int wait_for_output(enum order order, long long expected, double timeout_s) {
  int64_t start = now_ns(), deadline = start + (int64_t)(timeout_s * 1e9), changed = start;
  long long last = -1;
  for (;;) {
    long long have = data_bytes(order, NULL);
    if (have == expected) return 1;
    int64_t now = now_ns();
    if (have != last) {
      last = have;
      changed = now;
    }
    if (have > expected || now > deadline || now - changed > 10000000000LL) {
      fprintf(stderr, "tbench: output holds %lld bytes, expected %lld\n", have, expected);
      return 0;
    }
    pause_us(500);
  }
}

/* ---------------------------------------------------------------- the check */

static char check_note[512] = "";

static int fail(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(check_note, sizeof check_note, fmt, ap);
  va_end(ap);
  return 0;
}

/* Every message of every client, whole, each client's in order, nothing else. With
 * `limit` > 0 also the rotation points: each finished file went over the limit only with
 * the last pipe message it took, and the live file is not over it. A pipe message is one
 * message, or for the asynchronous client as many whole messages as one can hold. */
static int check_output(enum order order, int clients, long count, int size, long limit) {
  long largest = strcmp(o.kind, "tobrin-async") ? size : (long)(MAX_MSG / size) * size;
  struct data_file files[MAX_FILES];
  int n = list_files(order, files);
  long long expected = (long long)clients * count * size, total = 0;
  for (int i = 0; i < n; ++i) total += files[i].size;
  if (total != expected) return fail("%lld bytes in %d files, expected %lld", total, n, expected);
  if (limit > 0) {
    if (n >= o.backups + 1) return fail("the backup ring is full: cannot tell the order");
    for (int i = 0; i < n; ++i) {
      int live = i == n - 1;
      if (live ? files[i].size > limit : files[i].size <= limit || files[i].size - largest > limit)
        return fail(
            "%s holds %lld bytes: rotation not right after the pipe message that went over %ld",
            files[i].name, (long long)files[i].size, limit);
    }
  }
  char *all = malloc(expected + 1);
  long *next = calloc(clients, sizeof *next);
  char *want = malloc(size);
  if (!all || !next || !want) die("out of memory for the check");
  long long at = 0;
  for (int i = 0; i < n; ++i) {
    char path[1024];
    path_in(path, sizeof path, files[i].name);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("cannot read %s", files[i].name);
    ssize_t r;
    while (at < expected && (r = read(fd, all + at, expected - at)) > 0) at += r;
    close(fd);
  }
  if (at != expected) return fail("read %lld bytes of %lld", at, expected);
  int ok = 1;
  for (long long pos = 0; ok && pos < expected; pos += size) {
    char head[HEAD + 1];
    memcpy(head, all + pos, HEAD);
    head[HEAD] = '\0';
    int c;
    long s;
    if (sscanf(head, "%5d %9ld ", &c, &s) != 2 || c < 0 || c >= clients) {
      ok = fail("no message starts at byte %lld", pos);
      break;
    }
    if (s != next[c]) {
      ok = fail("client %d: message %ld at byte %lld, expected %ld", c, s, pos, next[c]);
      break;
    }
    make_message(want, size, c, s);
    if (memcmp(want, all + pos, size) != 0) ok = fail("message at byte %lld is torn", pos);
    ++next[c];
  }
  for (int c = 0; ok && c < clients; ++c)
    if (next[c] != count) ok = fail("client %d: %ld of %ld messages", c, next[c], count);
  free(all);
  free(next);
  free(want);
  return ok;
}

/* ---------------------------------------------------------------- children */

/* Waits for a child at most `timeout_s`; kills it after that. */
static int wait_child(pid_t pid, double timeout_s, struct rusage *ru, int *status) {
  int64_t deadline = now_ns() + (int64_t)(timeout_s * 1e9);
  struct rusage local;
  if (!ru) ru = &local;
  int st = 0;
  for (;;) {
    pid_t r = wait4(pid, &st, WNOHANG, ru);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return 0;
    if (now_ns() > deadline) {
      kill(pid, SIGKILL);
      wait4(pid, &st, 0, ru);
      fprintf(stderr, "tbench: child %d killed after %.0f s\n", (int)pid, timeout_s);
      return 0;
    }
    pause_us(1000);
  }
  if (status) *status = st;
  return 1;
}

static void redirect_output(const char *name) {
  char path[1024];
  path_in(path, sizeof path, name);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
  }
}

/* ---------------------------------------------------------------- targets */

struct target {
  pid_t pid;
  int control; /* the server's standard input, or the peers' log pipe */
  enum order order;
  char sock[108]; /* the socket path, for the server and the socket floors */
};

static int connect_socket(const char *path) {
  struct sockaddr_un a;
  memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
  int64_t deadline = now_ns() + 10000000000LL;
  for (;;) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, (struct sockaddr *)&a, sizeof a) == 0) return fd;
    int e = errno;
    close(fd);
    if ((e != ENOENT && e != ECONNREFUSED && e != EAGAIN && e != EINTR) || now_ns() > deadline) {
      errno = e;
      return -1;
    }
    pause_us(1000);
  }
}

/* Waits for the byte 0x01; whatever comes before it (wine's own notes) is passed over. */
static int read_ready_byte(int fd) {
  int64_t deadline = now_ns() + 60000000000LL;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int left = (int)((deadline - now_ns()) / 1000000);
    unsigned char byte = 0;
    if (left <= 0 || poll(&p, 1, left) != 1 || read(fd, &byte, 1) != 1) return 0;
    if (byte == 0x01) return 1;
  }
}

/* The log server, as the manager starts it: standard input is held by us, the ready byte
 * comes on standard error, standard output (the client threads' notes) goes to a file. */
static void start_server(struct target *t, int command_mode, int wine) {
  if (!o.server) die("--server is required");
  char output[1200], input[600], size[64], backups[64];
  path_in(t->sock, sizeof t->sock, "log.sock");
  if (wine) {
    snprintf(input, sizeof input, "--input=\\\\.\\pipe\\tbench-%d", (int)getpid());
    snprintf(output, sizeof output, "--output=Z:%s/server.log", o.dir);
    for (char *p = output; *p; ++p)
      if (*p == '/') *p = '\\';
  } else {
    snprintf(input, sizeof input, "--input=%s", t->sock);
    if (command_mode)
      snprintf(output, sizeof output, "--output=|cat > '%s/out.txt'", o.dir);
    else
      snprintf(output, sizeof output, "--output=%s/server.log", o.dir);
  }
  snprintf(size, sizeof size, "--filesize=%ld", o.limit);
  snprintf(backups, sizeof backups, "--numbackups=%d", o.backups);
  int in[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) die("pipe: %s", strerror(errno));
  t->pid = fork();
  if (t->pid == 0) {
    pin_to(1);
    char outpath[1024];
    path_in(outpath, sizeof outpath, "server.out");
    int out = open(outpath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in[0], 0);
    dup2(out, 1);
    dup2(err[1], 2);
    if (wine)
      execlp(wine_loader(), wine_loader(), o.server, input, output, size, backups, (char *)NULL);
    else if (command_mode)
      execl(o.server, o.server, input, output, (char *)NULL);
    else
      execl(o.server, o.server, input, output, size, backups, (char *)NULL);
    _exit(127);
  }
  close(in[0]);
  close(err[1]);
  t->control = in[1];
  t->order = command_mode ? ORDER_SINGLE : ORDER_TOBRIN;
  if (!read_ready_byte(err[0])) die("the server did not say it was ready");
  /* Its standard error stays with us; it only ever carries a line or two. */
}

/* Ends the server as the manager does, by closing its standard input. */
static int stop_server(struct target *t, struct rusage *ru) {
  close(t->control);
  return wait_child(t->pid, 30, ru, NULL);
}

/* ---- the floors: the least a server of this design can do */

static int open_output(void) {
  char path[1024];
  path_in(path, sizeof path, "out.txt");
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) die("cannot open %s", path);
  return fd;
}

static void write_all_or_die(int fd, const struct iovec *iov, int n) {
  struct iovec local[1024];
  memcpy(local, iov, n * sizeof *iov);
  struct iovec *v = local;
  while (n > 0) {
    ssize_t w = writev(fd, v, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      _exit(4);
    }
    while (n > 0 && (size_t)w >= v->iov_len) {
      w -= v->iov_len;
      ++v;
      --n;
    }
    if (n > 0) {
      v->iov_base = (char *)v->iov_base + w;
      v->iov_len -= w;
    }
  }
}

static pthread_mutex_t floor_lock = PTHREAD_MUTEX_INITIALIZER;
static int floor_out;
static int floor_batch; /* 0: recv + write; 1: recvmmsg + writev; 2: recvmmsg, nothing kept */
static long long sink_messages, sink_bytes;

#define MMSG_SLOTS 256

/* One client: recv + write per message, or recvmmsg of what is queued + one writev. */
static void *floor_client(void *arg) {
  int cfd = (int)(intptr_t)arg;
  if (!floor_batch) {
    char *buf = malloc(MAX_MSG);
    for (;;) {
      ssize_t r = recv(cfd, buf, MAX_MSG, 0);
      if (r <= 0) break;
      struct iovec v = {buf, (size_t)r};
      pthread_mutex_lock(&floor_lock);
      write_all_or_die(floor_out, &v, 1);
      pthread_mutex_unlock(&floor_lock);
    }
    free(buf);
  } else {
    char *bufs = malloc((size_t)MMSG_SLOTS * MAX_MSG);
    static __thread struct mmsghdr mm[MMSG_SLOTS];
    static __thread struct iovec in[MMSG_SLOTS], out[MMSG_SLOTS];
    for (int i = 0; i < MMSG_SLOTS; ++i) {
      in[i].iov_base = bufs + (size_t)i * MAX_MSG;
      in[i].iov_len = MAX_MSG;
      memset(&mm[i].msg_hdr, 0, sizeof mm[i].msg_hdr);
      mm[i].msg_hdr.msg_iov = &in[i];
      mm[i].msg_hdr.msg_iovlen = 1;
    }
    int done = 0;
    while (!done) {
      int n = recvmmsg(cfd, mm, MMSG_SLOTS, MSG_WAITFORONE, NULL);
      if (n <= 0) break;
      int k = 0;
      for (int i = 0; i < n; ++i) {
        if (mm[i].msg_len == 0 || (mm[i].msg_hdr.msg_flags & MSG_TRUNC)) {
          done = 1;
          break;
        }
        out[k].iov_base = in[i].iov_base;
        out[k++].iov_len = mm[i].msg_len;
        sink_bytes += mm[i].msg_len;
      }
      sink_messages += k;
      if (floor_batch == 2) continue;
      pthread_mutex_lock(&floor_lock);
      if (k) write_all_or_die(floor_out, out, k);
      pthread_mutex_unlock(&floor_lock);
    }
    free(bufs);
  }
  close(cfd);
  return NULL;
}

/* The floor server, in a child process of its own so that its CPU is its own. With one
 * client it serves it on the main thread; with several, one thread per client. */
static void floor_server(struct target *t, int batch, int threads) {
  path_in(t->sock, sizeof t->sock, "log.sock");
  int ready[2];
  if (pipe2(ready, O_CLOEXEC)) die("pipe");
  t->pid = fork();
  if (t->pid == 0) {
    pin_to(1);
    floor_out = open_output();
    floor_batch = batch;
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", t->sock);
    int ls = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (ls < 0 || bind(ls, (struct sockaddr *)&a, sizeof a) || listen(ls, SOMAXCONN)) _exit(5);
    if (write(ready[1], "\1", 1) != 1) _exit(5);
    if (!threads) {
      int cfd = accept4(ls, NULL, NULL, SOCK_CLOEXEC);
      floor_client((void *)(intptr_t)cfd);
      /* The sink keeps nothing to check: it tells by its status whether every byte came. */
      if (batch == 2) _exit(sink_messages == o.count && sink_bytes == o.count * o.size ? 0 : 6);
      _exit(0);
    }
    pthread_t *tids = calloc(o.clients, sizeof *tids);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    for (int i = 0; i < o.clients; ++i) {
      int cfd = accept4(ls, NULL, NULL, SOCK_CLOEXEC);
      if (cfd < 0 || pthread_create(&tids[i], &attr, floor_client, (void *)(intptr_t)cfd)) _exit(5);
    }
    for (int i = 0; i < o.clients; ++i) pthread_join(tids[i], NULL);
    _exit(0);
  }
  close(ready[1]);
  if (!read_ready_byte(ready[0])) die("the floor server did not start");
  close(ready[0]);
  t->control = -1;
  t->order = ORDER_SINGLE;
}

/* ---- peers: a line-oriented log writer reading one pipe */

static void start_peer(struct target *t, const char *kind) {
  char limit[64], sizeopt[64], backups[64], live[1100];
  snprintf(limit, sizeof limit, "s%ld", o.limit);
  snprintf(sizeopt, sizeof sizeopt, "%ldB", o.limit);
  snprintf(backups, sizeof backups, "n%d", o.backups);
  if (!strcmp(kind, "svlogd")) {
    char path[1024];
    path_in(path, sizeof path, "config");
    FILE *f = fopen(path, "w");
    if (!f) die("cannot write %s", path);
    fprintf(f, "s%ld\nn%d\n", o.limit, o.backups);
    fclose(f);
  }
  int p[2];
  if (pipe2(p, O_CLOEXEC)) die("pipe");
  t->pid = fork();
  if (t->pid == 0) {
    pin_to(1);
    dup2(p[0], 0);
    redirect_output("peer.out");
    path_in(live, sizeof live, "server.log");
    if (!strcmp(kind, "svlogd")) execlp("svlogd", "svlogd", o.dir, (char *)NULL);
    if (!strcmp(kind, "multilog"))
      execlp("multilog", "multilog", limit, backups, o.dir, (char *)NULL);
    if (!strcmp(kind, "s6-log")) execlp("s6-log", "s6-log", backups, limit, o.dir, (char *)NULL);
    if (!strcmp(kind, "rotatelogs"))
      execlp("rotatelogs", "rotatelogs", "-n", backups + 1, live, sizeopt, (char *)NULL);
    if (!strcmp(kind, "cat")) {
      path_in(live, sizeof live, "out.txt");
      int fd = open(live, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      execlp("cat", "cat", (char *)NULL);
    }
    _exit(127);
  }
  close(p[0]);
  t->control = p[1];
  t->order = order_of(kind);
}

static int is_peer(const char *kind) {
  return !strcmp(kind, "svlogd") || !strcmp(kind, "multilog") || !strcmp(kind, "s6-log") ||
         !strcmp(kind, "rotatelogs") || !strcmp(kind, "cat");
}

/* ---------------------------------------------------------------- clients */

/* The asynchronous client: it waits for room rather than drop, and its flush and close wait
 * long enough for every message; a message that did not go fails the run. */
static tobrin_client *open_async(const char *sock) {
  tobrin_options options;
  tobrin_options_init(&options);
  options.buffer_bytes = (size_t)o.buffer;
  options.flush_ms = o.flush_ms;
  options.when_full = TOBRIN_WAIT;
  options.connect_timeout_ms = 60000;
  return tobrin_open(sock, &options);
}

/* Through the client library: tobrin_send per message (synchronous, or into the
 * asynchronous client's buffer, flushed before the close), or tobrin_send_many per 64. */
static int send_with_library(const char *sock, const char *msgs, long count, int size) {
  int async = !strcmp(o.kind, "tobrin-async");
  tobrin_client *client = async ? open_async(sock) : tobrin_connect(sock, 10000);
  if (!client) return 0;
  int many = !strcmp(o.kind, "tobrin-lib-many");
  tobrin_message group[64];
  for (long i = 0; i < count;) {
    size_t n = many ? (count - i < 64 ? (size_t)(count - i) : 64) : 1;
    for (size_t k = 0; k < n; ++k) group[k] = (tobrin_message){msgs + (size_t)(i + k) * size, size};
    int rc = many ? tobrin_send_many(client, group, n, NULL)
                  : tobrin_send(client, group[0].data, group[0].length);
    if (rc != 0) return 0;
    i += (long)n;
  }
  int flushed = !async || (tobrin_flush(client, 60000) == 0 && tobrin_dropped(client) == 0);
  tobrin_close(client);
  return flushed;
}

/* One send() per message into its own connection. */
static int send_on_socket(const char *sock, const char *msgs, long count, int size) {
  int fd = connect_socket(sock);
  if (fd < 0) return 0;
  for (long i = 0; i < count; ++i)
    if (send(fd, msgs + (size_t)i * size, size, MSG_NOSIGNAL) != size) return 0;
  close(fd);
  return 1;
}

#define FEED_BLOCK 65536

/* The lines in each write() of a peer's writer: one, or as many whole lines as a block holds
 * (see the top of the file). */
static long lines_per_write(int writers, int size) {
  if (strcmp(o.feed, "blocks")) return 1;
  long block = writers > 1 ? PIPE_BUF : FEED_BLOCK;
  return block / size > 0 ? block / size : 1;
}

/* Writes all `bytes`; a write of more than PIPE_BUF bytes into a pipe may take part of them. */
static int write_whole(int fd, const char *data, size_t bytes) {
  while (bytes > 0) {
    ssize_t w = write(fd, data, bytes);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return 0;
    data += w;
    bytes -= (size_t)w;
  }
  return 1;
}

/* A writer for the peers: one write() per line, or per block of lines, into the shared
 * pipe. */
static int write_lines(int fd, const char *msgs, long count, int size) {
  long step = lines_per_write(o.clients, size);
  for (long i = 0; i < count; i += step) {
    long lines = count - i < step ? count - i : step;
    if (!write_whole(fd, msgs + (size_t)i * size, (size_t)lines * size)) return 0;
  }
  return 1;
}

/* What each client process spent from the start on, in CPU seconds: the whole process (its
 * sender threads too) and the thread that makes the sends. Shared with the children. */
struct client_cpu {
  double process_s, thread_s;
};
static struct client_cpu *spent;
static int ready_pipe[2], start_pipe[2];

static double thread_cpu_s(void) {
  struct timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

static double process_cpu_s(void) {
  struct rusage r;
  getrusage(RUSAGE_SELF, &r);
  return cpu_s(&r);
}

/* Reads one byte of every page. On some virtual machines (this bench's among them) a forked
 * process's first touch of each page it inherited costs microseconds; that is the bench's
 * cost, not the sender's, so it is paid before the clock starts. */
static void touch_pages(const char *data, size_t bytes) {
  volatile char sink;
  for (size_t at = 0; at < bytes; at += 4096) sink = data[at];
  (void)sink;
}

/* A client process, forked before the clock starts: it touches its messages, says it is
 * ready, and at the start (the start pipe's end) writes into the peer's pipe (`fd`) or sends
 * on its own connection, with send() per message or through the library. */
static pid_t fork_client(int c, int fd, const char *sock, const char *msgs) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  pin_to(0);
  close(start_pipe[1]);
  touch_pages(msgs, (size_t)o.count * o.size);
  char byte;
  if (write(ready_pipe[1], "r", 1) != 1 || read(start_pipe[0], &byte, 1) != 0) _exit(1);
  double process = process_cpu_s(), thread = thread_cpu_s();
  int ok = is_peer(o.kind)           ? write_lines(fd, msgs, o.count, o.size)
           : is_library_kind(o.kind) ? send_with_library(sock, msgs, o.count, o.size)
                                     : send_on_socket(sock, msgs, o.count, o.size);
  spent[c].process_s = process_cpu_s() - process;
  spent[c].thread_s = thread_cpu_s() - thread;
  _exit(ok ? 0 : 1);
}

/* Forks the clients and waits until each is ready to send. */
static void fork_clients(pid_t *pids, const struct target *t, char **msgs) {
  spent = mmap(NULL, o.clients * sizeof *spent, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
               -1, 0);
  if (spent == MAP_FAILED) die("mmap: %s", strerror(errno));
  if (pipe2(ready_pipe, O_CLOEXEC) || pipe2(start_pipe, O_CLOEXEC)) die("pipe");
  for (int c = 0; c < o.clients; ++c) pids[c] = fork_client(c, t->control, t->sock, msgs[c]);
  close(ready_pipe[1]);
  close(start_pipe[0]);
  for (int c = 0; c < o.clients; ++c) {
    struct pollfd p = {ready_pipe[0], POLLIN, 0};
    char byte;
    if (poll(&p, 1, 60000) != 1 || read(ready_pipe[0], &byte, 1) != 1)
      die("client %d of %d did not get ready", c + 1, o.clients);
  }
  close(ready_pipe[0]);
}

/* The Windows client under wine: it connects and builds its messages, then waits for a
 * byte on its standard input before it sends, so that wine's start-up is not timed. */
static pid_t fork_wine_client(int *go) {
  int p[2], ready[2];
  if (pipe2(p, O_CLOEXEC) || pipe2(ready, O_CLOEXEC)) die("pipe");
  pid_t pid = fork();
  if (pid == 0) {
    char pipe_name[128], clients[32], count[32], size[32];
    snprintf(pipe_name, sizeof pipe_name, "\\\\.\\pipe\\tbench-%d", (int)getppid());
    snprintf(clients, sizeof clients, "%d", o.clients);
    snprintf(count, sizeof count, "%ld", o.count);
    snprintf(size, sizeof size, "%d", o.size);
    dup2(p[0], 0);
    dup2(ready[1], 1);
    execlp(wine_loader(), wine_loader(), o.client_exe, pipe_name, clients, count, size,
           (char *)NULL);
    _exit(127);
  }
  close(p[0]);
  close(ready[1]);
  struct pollfd w = {ready[0], POLLIN, 0};
  char c;
  if (poll(&w, 1, 60000) != 1 || read(ready[0], &c, 1) != 1) die("the wine client did not start");
  close(ready[0]);
  *go = p[1];
  return pid;
}

/* ---------------------------------------------------------------- reports */

static void report_common(const char *what, long long msgs, int size, double wall,
                          const struct rusage *server, double client_cpu, int files, int ok) {
  double cpu = server ? cpu_s(server) : 0;
  printf(
      "run=%s\tkind=%s\tclients=%d\tmsgs=%lld\tsize=%d\twall_s=%.6f\tmsgs_per_s=%.0f\t"
      "mb_per_s=%.1f\tserver_cpu_s=%.4f\tcpu_us_per_msg=%.3f\tuser_s=%.4f\tsys_s=%.4f\t"
      "client_cpu_us_per_msg=%.3f\trss_kib=%ld\tfiles=%d\tcheck=%s",
      what, o.kind, o.clients, msgs, size, wall, msgs / wall, msgs * (double)size / wall / 1e6, cpu,
      cpu * 1e6 / msgs, server ? tv_s(server->ru_utime) : 0, server ? tv_s(server->ru_stime) : 0,
      client_cpu * 1e6 / msgs, server ? server->ru_maxrss : 0, files, ok ? "ok" : "FAIL");
  if (is_peer(o.kind) && !strcmp(what, "throughput"))
    printf("\tfeed=%s\tbytes_per_write=%ld", o.feed, lines_per_write(o.clients, size) * size);
  if (!strcmp(o.kind, "tobrin-async"))
    printf("\tbuffer_bytes=%ld\tflush_ms=%d", o.buffer, o.flush_ms);
  if (!ok) printf("\tnote=%s", check_note);
}

/* ---------------------------------------------------------------- workloads */

static int run_floor_write(void) {
  char *msgs = build_messages(0, o.count, o.size);
  struct rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  int64_t t0 = now_ns();
  int fd = open_output();
  for (long i = 0; i < o.count; ++i)
    if (write(fd, msgs + (size_t)i * o.size, o.size) != o.size) die("write failed");
  close(fd);
  double wall = (now_ns() - t0) * 1e-9;
  getrusage(RUSAGE_SELF, &after);
  struct rusage delta = after;
  timersub(&after.ru_utime, &before.ru_utime, &delta.ru_utime);
  timersub(&after.ru_stime, &before.ru_stime, &delta.ru_stime);
  int ok = check_output(ORDER_SINGLE, 1, o.count, o.size, 0);
  report_common("throughput", o.count, o.size, wall, &delta, 0, 1, ok);
  printf("\n");
  return ok;
}

static int run_throughput(void) {
  if (!strcmp(o.kind, "floor-write")) return run_floor_write();
  struct target t;
  memset(&t, 0, sizeof t);
  int wine = !strcmp(o.kind, "tobrin-wine");
  if (!strcmp(o.kind, "tobrin") || wine || is_library_kind(o.kind))
    start_server(&t, 0, wine);
  else if (!strcmp(o.kind, "tobrin-cmd"))
    start_server(&t, 1, 0);
  else if (!strcmp(o.kind, "floor-recv"))
    floor_server(&t, 0, o.clients > 1);
  else if (!strcmp(o.kind, "floor-mmsg"))
    floor_server(&t, 1, o.clients > 1);
  else if (!strcmp(o.kind, "sink") && o.clients == 1)
    floor_server(&t, 2, 0);
  else if (!strcmp(o.kind, "floor-threads"))
    floor_server(&t, 0, 1);
  else if (!strcmp(o.kind, "floor-threads-mmsg"))
    floor_server(&t, 1, 1);
  else if (is_peer(o.kind))
    start_peer(&t, o.kind);
  else
    die("unknown kind %s", o.kind);
  int floor = !strncmp(o.kind, "floor-", 6);

  char **msgs = calloc(o.clients, sizeof *msgs);
  for (int c = 0; c < o.clients && !wine; ++c) msgs[c] = build_messages(c, o.count, o.size);
  pid_t *pids = calloc(o.clients, sizeof *pids);
  int go = -1, nclients = wine ? 1 : o.clients;
  if (wine)
    pids[0] = fork_wine_client(&go);
  else
    fork_clients(pids, &t, msgs);
  if (is_peer(o.kind)) close(t.control); /* the peer sees the end once the writers are done */

  int64_t t0 = now_ns();
  if (wine && write(go, "g", 1) != 1) die("cannot start the wine client");
  if (!wine) close(start_pipe[1]);
  double client_cpu = 0, thread_cpu = 0;
  int ok = 1;
  for (int c = 0; c < nclients; ++c) {
    struct rusage ru;
    int status = 0;
    if (!wait_child(pids[c], 600, &ru, &status) || !WIFEXITED(status) || WEXITSTATUS(status))
      ok = fail("client %d failed", c);
    client_cpu += wine ? cpu_s(&ru) : spent[c].process_s;
    thread_cpu += wine ? 0 : spent[c].thread_s;
  }
  long long expected = (long long)o.clients * o.count * o.size;
  struct rusage server;
  memset(&server, 0, sizeof server);
  int sink = !strcmp(o.kind, "sink"), status = 0;
  if (sink &&
      (!wait_child(t.pid, 120, &server, &status) || !WIFEXITED(status) || WEXITSTATUS(status)))
    ok = fail("the sink did not receive every byte");
  if (ok && !sink && !wait_for_output(t.order, expected, 120))
    ok = fail("the output never completed");
  double wall = (now_ns() - t0) * 1e-9;

  if (sink) {
    /* Ended above. */
  } else if (floor || is_peer(o.kind)) {
    if (!wait_child(t.pid, 60, &server, NULL)) ok = fail("the target did not end");
  } else if (!stop_server(&t, &server)) {
    ok = fail("the server did not end");
  }
  if (go >= 0) close(go);
  int nfiles = 0;
  data_bytes(t.order, &nfiles);
  long limit = t.order == ORDER_TOBRIN && o.size * 2 < o.limit ? o.limit : 0;
  if (ok && !sink) ok = check_output(t.order, o.clients, o.count, o.size, limit);
  report_common("throughput", expected / o.size, o.size, wall, &server, client_cpu, nfiles, ok);
  if (!wine)
    printf("\tclient_thread_cpu_us_per_msg=%.3f", thread_cpu * 1e6 / (double)(expected / o.size));
  printf("\n");
  return ok;
}

/* ---- the server's threads, descriptors and memory, from /proc */

struct proc_state {
  long rss_kib, threads, fds;
};

static struct proc_state read_proc(pid_t pid) {
  struct proc_state s = {0, 0, 0};
  char path[64], line[256];
  snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
  FILE *f = fopen(path, "r");
  if (f) {
    while (fgets(line, sizeof line, f)) {
      sscanf(line, "VmRSS: %ld", &s.rss_kib);
      sscanf(line, "Threads: %ld", &s.threads);
    }
    fclose(f);
  }
  snprintf(path, sizeof path, "/proc/%d/fd", (int)pid);
  DIR *d = opendir(path);
  if (d) {
    struct dirent *e;
    while ((e = readdir(d)))
      if (e->d_name[0] != '.') ++s.fds;
    closedir(d);
  }
  return s;
}

/* Waits (bounded) until the server runs exactly `threads` threads. */
static struct proc_state wait_threads(pid_t pid, long threads, double timeout_s) {
  int64_t deadline = now_ns() + (int64_t)(timeout_s * 1e9);
  struct proc_state s;
  while ((s = read_proc(pid)).threads != threads && now_ns() < deadline) pause_us(2000);
  return s;
}

static void raise_descriptor_limit(void) {
  struct rlimit r;
  if (getrlimit(RLIMIT_NOFILE, &r) == 0) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }
}

static int *connect_many(const char *sock, int n) {
  int *fds = malloc(n * sizeof *fds);
  for (int c = 0; c < n; ++c) {
    fds[c] = connect_socket(sock);
    if (fds[c] < 0) die("connection %d of %d failed: %s", c + 1, n, strerror(errno));
  }
  return fds;
}

/* W4: many clients connected at once, one message each per round; and the memory that a
 * connected client costs the server while it is idle. */
static int run_rounds(void) {
  raise_descriptor_limit();
  struct target t;
  start_server(&t, 0, 0);
  struct proc_state base = read_proc(t.pid);
  int *fds = connect_many(t.sock, o.clients);
  struct proc_state connected = wait_threads(t.pid, base.threads + o.clients, 30);
  char msg[MAX_MSG];
  int64_t t0 = now_ns();
  for (int r = 0; r < o.rounds; ++r)
    for (int c = 0; c < o.clients; ++c) {
      make_message(msg, o.size, c, r);
      if (send(fds[c], msg, o.size, MSG_NOSIGNAL) != o.size) die("send failed");
    }
  long long expected = (long long)o.clients * o.rounds * o.size;
  int ok = wait_for_output(ORDER_TOBRIN, expected, 120) ? 1 : fail("the output never completed");
  double wall = (now_ns() - t0) * 1e-9;
  struct proc_state idle = read_proc(t.pid);
  for (int c = 0; c < o.clients; ++c) close(fds[c]);
  struct proc_state after = wait_threads(t.pid, base.threads, 30);
  struct rusage server;
  if (!stop_server(&t, &server)) ok = fail("the server did not end");
  int nfiles = 0;
  data_bytes(ORDER_TOBRIN, &nfiles);
  if (ok) ok = check_output(ORDER_TOBRIN, o.clients, o.rounds, o.size, o.limit);
  report_common("rounds", expected / o.size, o.size, wall, &server, 0, nfiles, ok);
  printf(
      "\trss_base_kib=%ld\trss_connected_kib=%ld\trss_idle_kib=%ld\trss_after_kib=%ld\t"
      "kib_per_client_connected=%.2f\tkib_per_idle_client=%.2f\tthreads_base=%ld\t"
      "threads_connected=%ld\tthreads_after=%ld\n",
      base.rss_kib, connected.rss_kib, idle.rss_kib, after.rss_kib,
      (connected.rss_kib - base.rss_kib) / (double)o.clients,
      (idle.rss_kib - base.rss_kib) / (double)o.clients, base.threads, connected.threads,
      after.threads);
  return ok;
}

/* Many idle clients at once: each connects and sends one message, then stays. */
static int run_hold(void) {
  raise_descriptor_limit();
  struct target t;
  start_server(&t, 0, 0);
  struct proc_state base = read_proc(t.pid);
  int64_t t0 = now_ns();
  int *fds = connect_many(t.sock, o.clients);
  char msg[MAX_MSG];
  for (int c = 0; c < o.clients; ++c) {
    make_message(msg, o.size, c, 0);
    if (send(fds[c], msg, o.size, MSG_NOSIGNAL) != o.size) die("send %d failed", c);
  }
  long long expected = (long long)o.clients * o.size;
  int ok = wait_for_output(ORDER_TOBRIN, expected, 120) ? 1 : fail("the output never completed");
  struct proc_state held = wait_threads(t.pid, base.threads + o.clients, 30);
  double wall = (now_ns() - t0) * 1e-9;
  if (held.threads != base.threads + o.clients)
    ok = fail("%ld threads for %d clients", held.threads - base.threads, o.clients);
  for (int c = 0; c < o.clients; ++c) close(fds[c]);
  struct proc_state after = wait_threads(t.pid, base.threads, 60);
  struct rusage server;
  if (!stop_server(&t, &server)) ok = fail("the server did not end");
  if (ok) ok = check_output(ORDER_TOBRIN, o.clients, 1, o.size, o.limit);
  report_common("hold", o.clients, o.size, wall, &server, 0, 1, ok);
  printf(
      "\trss_base_kib=%ld\trss_held_kib=%ld\tkib_per_idle_client=%.2f\tthreads_held=%ld\t"
      "threads_after=%ld\tfds_held=%ld\tfds_after=%ld\n",
      base.rss_kib, held.rss_kib, (held.rss_kib - base.rss_kib) / (double)o.clients, held.threads,
      after.threads, held.fds, after.fds);
  return ok;
}

/* W5: connect, send one message, disconnect, many times; then nothing may have grown. */
static int run_cycles(void) {
  struct target t;
  start_server(&t, 0, 0);
  struct proc_state start = read_proc(t.pid);
  char msg[MAX_MSG];
  /* A first round as long as the measured one: what it leaves (the allocator's caches, the
   * thread stacks the C library keeps for reuse) is the base that must not grow. */
  int warm = o.cycles, total = warm + o.cycles;
  struct proc_state base = {0, 0, 0};
  int64_t t0 = 0;
  for (int c = 0; c < total; ++c) {
    if (c == warm) {
      wait_for_output(ORDER_TOBRIN, (long long)warm * o.size, 30);
      base = wait_threads(t.pid, start.threads, 30);
      t0 = now_ns();
    }
    int fd = connect_socket(t.sock);
    if (fd < 0) die("connect %d failed: %s", c, strerror(errno));
    make_message(msg, o.size, c, 0);
    if (send(fd, msg, o.size, MSG_NOSIGNAL) != o.size) die("send failed");
    close(fd);
  }
  double connect_wall = (now_ns() - t0) * 1e-9;
  o.clients = total;
  long long expected = (long long)total * o.size;
  int ok = wait_for_output(ORDER_TOBRIN, expected, 120) ? 1 : fail("the output never completed");
  double wall = (now_ns() - t0) * 1e-9;
  struct proc_state after = wait_threads(t.pid, base.threads, 30);
  struct rusage server;
  if (!stop_server(&t, &server)) ok = fail("the server did not end");
  if (ok) ok = check_output(ORDER_TOBRIN, total, 1, o.size, o.limit);
  report_common("cycles", o.cycles, o.size, wall, &server, 0, 1, ok);
  printf(
      "\tcpu_us_per_cycle=%.2f\tconnects_per_s=%.0f\tserved_per_s=%.0f\trss_base_kib=%ld\trss_"
      "after_kib=%ld\tthreads_base=%ld\t"
      "threads_after=%ld\tfds_base=%ld\tfds_after=%ld\n",
      cpu_s(&server) * 1e6 / total, o.cycles / connect_wall, o.cycles / wall, base.rss_kib,
      after.rss_kib, base.threads, after.threads, base.fds, after.fds);
  return ok;
}

/* ---- latency: from just before send() to the bytes being readable in the file */

static int64_t *sent_at;
static double *latency_us;
static long received;

static void *watch_file(void *arg) {
  enum order order = *(enum order *)arg;
  int in = inotify_init1(IN_CLOEXEC);
  if (in < 0 || inotify_add_watch(in, o.dir, IN_MODIFY | IN_CREATE) < 0) die("inotify");
  char path[1024], events[4096];
  path_in(path, sizeof path, live_name(order));
  size_t total = (size_t)o.count * o.size, got = 0, parsed = 0;
  char *stream = malloc(total);
  int fd = -1;
  int64_t deadline = 0;
  while (parsed < total) {
    struct pollfd p = {in, POLLIN, 0};
    if (poll(&p, 1, 100) == 1 && read(in, events, sizeof events) < 0) break;
    int64_t now = now_ns();
    if (fd < 0) fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      ssize_t r;
      while (got < total && (r = read(fd, stream + got, total - got)) > 0) got += r;
    }
    now = now_ns();
    for (; parsed + o.size <= got; parsed += o.size) {
      long seq = atol(stream + parsed + 6);
      if (seq < 0 || seq >= o.count) continue;
      int64_t sent = __atomic_load_n(&sent_at[seq], __ATOMIC_ACQUIRE);
      latency_us[received++] = (now - sent) / 1000.0;
    }
    int64_t stop = __atomic_load_n(&sent_at[o.count - 1], __ATOMIC_ACQUIRE);
    if (stop && !deadline) deadline = stop + 5000000000LL;
    if (deadline && now > deadline) break;
  }
  if (fd >= 0) close(fd);
  close(in);
  free(stream);
  return NULL;
}

static int compare_double(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

static int run_latency(void) {
  o.count = (long)(o.rate * o.seconds);
  struct target t;
  memset(&t, 0, sizeof t);
  int floor = !strncmp(o.kind, "floor-", 6);
  if (!strcmp(o.kind, "tobrin"))
    start_server(&t, 0, 0);
  else if (!strcmp(o.kind, "floor-recv"))
    floor_server(&t, 0, 0);
  else if (!strcmp(o.kind, "floor-mmsg"))
    floor_server(&t, 1, 0);
  else if (is_peer(o.kind))
    start_peer(&t, o.kind);
  else
    die("no latency run for %s", o.kind);
  int out = is_peer(o.kind) ? t.control : connect_socket(t.sock);
  if (out < 0) die("cannot connect");
  char *msgs = build_messages(0, o.count, o.size);
  sent_at = calloc(o.count, sizeof *sent_at);
  latency_us = calloc(o.count, sizeof *latency_us);
  pthread_t watcher;
  pthread_create(&watcher, NULL, watch_file, &t.order);
  prctl(PR_SET_TIMERSLACK, 1UL);
  pause_us(50000);
  int64_t period = (int64_t)(1e9 / o.rate), start = now_ns() + 10000000;
  for (long i = 0; i < o.count; ++i) {
    int64_t due = start + i * period;
    struct timespec ts = {due / 1000000000, due % 1000000000};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL);
    __atomic_store_n(&sent_at[i], now_ns(), __ATOMIC_RELEASE);
    ssize_t w = is_peer(o.kind) ? write(out, msgs + i * o.size, o.size)
                                : send(out, msgs + i * o.size, o.size, MSG_NOSIGNAL);
    if (w != o.size) die("send failed");
  }
  double wall = (now_ns() - start) * 1e-9;
  pthread_join(watcher, NULL);
  close(out);
  struct rusage server;
  memset(&server, 0, sizeof server);
  int ok = received == o.count ? 1 : fail("%ld of %ld messages seen", received, o.count);
  if (floor || is_peer(o.kind)) {
    if (!wait_child(t.pid, 30, &server, NULL)) ok = fail("the target did not end");
  } else if (!stop_server(&t, &server)) {
    ok = fail("the server did not end");
  }
  if (ok) ok = check_output(t.order, 1, o.count, o.size, 0);
  qsort(latency_us, received, sizeof *latency_us, compare_double);
  double p50 = received ? latency_us[received / 2] : 0;
  double p99 = received ? latency_us[(long)(received * 0.99)] : 0;
  double max = received ? latency_us[received - 1] : 0;
  report_common("latency", o.count, o.size, wall, &server, 0, 1, ok);
  printf("\trate=%.0f\tp50_us=%.1f\tp99_us=%.1f\tmax_us=%.1f\n", o.rate, p50, p99, max);
  return ok;
}

int main(int argc, char **argv) {
  if (argc < 2) die("usage: tbench throughput|rounds|hold|cycles|latency --option=value...");
  parse_options(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  for (char *p = (char *)o.dir + 1; *p; ++p)
    if (*p == '/') {
      *p = '\0';
      mkdir(o.dir, 0755);
      *p = '/';
    }
  if (mkdir(o.dir, 0755) != 0 && errno != EEXIST) die("cannot make %s", o.dir);
  setvbuf(stdout, NULL, _IOLBF, 0);
  int ok;
  if (!strcmp(argv[1], "throughput"))
    ok = run_throughput();
  else if (!strcmp(argv[1], "rounds"))
    ok = run_rounds();
  else if (!strcmp(argv[1], "hold"))
    ok = run_hold();
  else if (!strcmp(argv[1], "cycles"))
    ok = run_cycles();
  else if (!strcmp(argv[1], "latency"))
    ok = run_latency();
  else
    die("unknown run %s", argv[1]);
  return ok ? 0 : 3;
}
