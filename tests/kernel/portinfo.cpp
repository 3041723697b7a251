// A guest's helper in the kernel-driver suite, built static:
//
//   portinfo DEVICE        the serial flags, the low-latency flag, the type
//                          and the baud_base its driver reports (TIOCGSERIAL)
//   portinfo --tx DEVICE   the bytes the port has sent since boot (TIOCGICOUNT),
//                          once what is queued for it has gone (TIOCOUTQ)
//   portinfo --pool        whether the kernel's random pool is ready yet
//   portinfo --interruptible PROGRAM [ARG...]
//                          runs PROGRAM with SIGINT at its default action
#include <fcntl.h>
#include <linux/serial.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

static int PrintPool() {
  char byte;
  bool ready = getrandom(&byte, 1, GRND_NONBLOCK) == 1;
  if (!ready && errno != EAGAIN) return perror("getrandom"), 1;
  printf("pool=%s\n", ready ? "ready" : "unready");
  return 0;
}

static int PrintSent(const char* device) {
  int fd = open(device, O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return perror(device), 1;
  // Counted as the driver hands bytes to the UART or the USB chip: wait
  // for what the writer left queued, up to 5 s.
  int queued = 0;
  for (int i = 0; i < 500 && ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0; i++)
    usleep(10000);
  struct serial_icounter_struct counts;
  if (ioctl(fd, TIOCGICOUNT, &counts) != 0) return perror("TIOCGICOUNT"), 1;
  close(fd);
  printf("%d\n", counts.tx);
  return 0;
}

static int PrintPort(const char* device) {
  int fd = open(device, O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return perror(device), 1;
  struct serial_struct serial;
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return perror("TIOCGSERIAL"), 1;
  close(fd);
  printf("flags=0x%x low_latency=%d type=%d baud_base=%d\n", unsigned(serial.flags),
         (serial.flags & ASYNC_LOW_LATENCY) != 0, serial.type, serial.baud_base);
  return 0;
}

// A shell without job control starts its background jobs with SIGINT
// ignored, and velcot leaves an ignored SIGINT ignored (as under nohup): a
// kill -INT then stands for Ctrl+C only once the action is the default again.
static int RunInterruptible(char** argv) {
  signal(SIGINT, SIG_DFL);
  execvp(argv[0], argv);
  perror(argv[0]);
  return 127;
}

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "--interruptible") == 0) return RunInterruptible(argv + 2);
  if (argc == 2 && strcmp(argv[1], "--pool") == 0) return PrintPool();
  if (argc == 3 && strcmp(argv[1], "--tx") == 0) return PrintSent(argv[2]);
  if (argc == 2) return PrintPort(argv[1]);
  fprintf(stderr,
          "usage: portinfo DEVICE | --tx DEVICE | --pool | --interruptible PROGRAM [ARG...]\n");
  return 2;
}
