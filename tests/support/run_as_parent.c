/* run-as-parent [--child CUID CGID] UID GID PROGRAM [ARGUMENTS...]
 *
 * Starts PROGRAM as a child that keeps this process's identity (root), then
 * switches this process, the child's parent, to UID/GID before the child
 * execs. The child therefore sees a parent running as another user, the way
 * the recorder daemon starts the core. With --child the child itself first
 * becomes CUID/CGID (no supplementary groups), so it runs without privileges.
 * Exits with the child's exit code. */
#define _GNU_SOURCE
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static int switchUser(uid_t uid, gid_t gid) { return setgroups(0, NULL) != 0 || setgid(gid) != 0 || setuid(uid) != 0; }

int main(int argc, char** argv) {
  int first = 1;
  int childSwitches = 0;
  uid_t childUid = 0;
  gid_t childGid = 0;
  if (argc > 3 && strcmp(argv[1], "--child") == 0) {
    childSwitches = 1;
    childUid = (uid_t)strtoul(argv[2], NULL, 10);
    childGid = (gid_t)strtoul(argv[3], NULL, 10);
    first = 4;
  }
  if (argc < first + 3) {
    fprintf(stderr, "usage: %s [--child CUID CGID] UID GID PROGRAM [ARGUMENTS...]\n", argv[0]);
    return 125;
  }
  const uid_t uid = (uid_t)strtoul(argv[first], NULL, 10);
  const gid_t gid = (gid_t)strtoul(argv[first + 1], NULL, 10);
  char** program = argv + first + 2;
  int go[2];
  if (pipe(go) != 0) return 125;
  const pid_t child = fork();
  if (child < 0) return 125;
  if (child == 0) {
    char byte;
    close(go[1]);
    if (read(go[0], &byte, 1) != 1) _exit(125);
    close(go[0]);
    if (childSwitches && switchUser(childUid, childGid) != 0) _exit(125);
    execv(program[0], program);
    _exit(127);
  }
  close(go[0]);
  if (switchUser(uid, gid) != 0) {
    perror("run-as-parent: switching user");
    return 125;
  }
  if (write(go[1], "x", 1) != 1) return 125;
  close(go[1]);
  int status = 0;
  if (waitpid(child, &status, 0) != child) return 125;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
