// turns RUNS [--remove FILE] -- CMD... [-- CMD...]...: runs the commands in
// turns, RUNS times each after 3 warm-ups, and prints each one's median wall
// time in milliseconds, a line each.  Taking them in turns puts a shared
// machine's drifting load on every command alike, so their ratios hold.
// With --remove, FILE is removed before every run, untimed.
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static double Run(char** argv, const char* remove) {
  if (remove) unlink(remove);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, NULL, argv, environ) != 0) {
    perror(argv[0]);
    exit(1);
  }
  int status;
  while (waitpid(pid, &status, 0) < 0) {
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  posix_spawn_file_actions_destroy(&actions);
  return (double)(end.tv_sec - start.tv_sec) * 1e3 + (double)(end.tv_nsec - start.tv_nsec) / 1e6;
}

static int Compare(const void* x, const void* y) {
  const double a = *(const double*)x, b = *(const double*)y;
  return (a > b) - (a < b);
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: turns RUNS [--remove FILE] -- CMD... [-- CMD...]...\n");
    return 2;
  }
  const int runs = atoi(argv[1]);
  int i = 2;
  const char* remove = NULL;
  if (strcmp(argv[i], "--remove") == 0 && i + 1 < argc) {
    remove = argv[i + 1];
    i += 2;
  }
  char** commands[64];
  int count = 0;
  for (; i < argc; ++i) {
    if (strcmp(argv[i], "--") != 0) continue;
    argv[i] = NULL;  // ends the command before it
    if (i + 1 < argc && count < 64) commands[count++] = &argv[i + 1];
  }
  if (runs <= 0 || count == 0) return 2;
  double* times = calloc((size_t)runs * (size_t)count, sizeof *times);
  if (!times) return 1;
  for (int w = 0; w < 3; ++w)
    for (int c = 0; c < count; ++c) Run(commands[c], remove);
  for (int r = 0; r < runs; ++r)
    for (int c = 0; c < count; ++c) times[c * runs + r] = Run(commands[c], remove);
  for (int c = 0; c < count; ++c) {
    qsort(times + c * runs, (size_t)runs, sizeof *times, Compare);
    printf("%.3f\n", times[c * runs + runs / 2]);
  }
  free(times);
  return 0;
}
