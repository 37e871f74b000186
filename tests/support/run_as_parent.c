/* run-as-parent UID GID PROGRAM [ARGUMENTS...]
 *
 * Starts PROGRAM as a child that keeps this process's identity (root), then
 * switches this process, the child's parent, to UID/GID before the child
 * execs. The child therefore sees a parent running as another user, the way
 * the recorder daemon starts the core. Exits with the child's exit code. */
#define _GNU_SOURCE
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s UID GID PROGRAM [ARGUMENTS...]\n", argv[0]);
    return 125;
  }
  const uid_t uid = (uid_t)strtoul(argv[1], NULL, 10);
  const gid_t gid = (gid_t)strtoul(argv[2], NULL, 10);
  int go[2];
  if (pipe(go) != 0) return 125;
  const pid_t child = fork();
  if (child < 0) return 125;
  if (child == 0) {
    char byte;
    close(go[1]);
    if (read(go[0], &byte, 1) != 1) _exit(125);
    close(go[0]);
    execv(argv[3], argv + 3);
    _exit(127);
  }
  close(go[0]);
  if (setgroups(0, NULL) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
    perror("run-as-parent: switching user");
    return 125;
  }
  if (write(go[1], "x", 1) != 1) return 125;
  close(go[1]);
  int status = 0;
  if (waitpid(child, &status, 0) != child) return 125;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
