/* The reference for the record check's speed: libmseed's own pass over a byte range of
 * a file, read in 1 MiB blocks, each 512-byte record parsed with msr_parse and its
 * samples decoded, and nothing else.
 *
 * Usage: mseedpass FILE OFFSET LENGTH
 * Prints "RECORDS SAMPLES FAILURES". */
#include <libmseed.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main (int argc, char **argv)
{
  if (argc != 4)
  {
    fprintf (stderr, "usage: mseedpass FILE OFFSET LENGTH\n");
    return 2;
  }
  int fd = open (argv[1], O_RDONLY);
  if (fd < 0)
  {
    perror (argv[1]);
    return 1;
  }
  off_t offset = (off_t)strtoll (argv[2], NULL, 10);
  long long left = strtoll (argv[3], NULL, 10);
  const size_t block = 1 << 20;
  char *buffer = malloc (block);
  MSRecord *msr = NULL;
  long long records = 0, samples = 0, failures = 0;
  while (left > 0)
  {
    size_t want = left < (long long)block ? (size_t)left : block;
    ssize_t got = pread (fd, buffer, want, offset);
    if (got <= 0)
    {
      perror ("read");
      return 1;
    }
    for (ssize_t at = 0; at + 512 <= got; at += 512)
    {
      if (msr_parse (buffer + at, 512, &msr, 512, 1, 0) == MS_NOERROR)
      {
        records++;
        samples += msr->numsamples;
      }
      else
      {
        failures++;
      }
    }
    offset += got;
    left -= got;
  }
  msr_free (&msr);
  free (buffer);
  close (fd);
  printf ("%lld %lld %lld\n", records, samples, failures);
  return 0;
}
