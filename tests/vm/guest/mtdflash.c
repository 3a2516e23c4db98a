// SPDX-License-Identifier: MIT
/*
 * The few raw NAND operations the virtual machine's scenarios need, on the
 * kernel's MTD character devices, without mtd-utils in the initramfs:
 *
 *   mtdflash info  DEV                  size, erase size and page size
 *   mtdflash bad   DEV                  indices of the bad erase blocks, or "none"
 *   mtdflash erase DEV OFFSET           erase the erase block at OFFSET
 *   mtdflash write DEV OFFSET FILE      program FILE (whole pages) at OFFSET
 *   mtdflash count DEV OFFSET LEN BYTE  how many bytes of the range differ from BYTE
 *                                       (plain reads: any device or file)
 *
 * Numbers may be decimal or 0x-prefixed. Exit status 0 on success, 1 on
 * failure with the reason on standard error.
 */
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

static int fail(const char *what, const char *dev)
{
	fprintf(stderr, "mtdflash: %s %s: %s\n", what, dev, strerror(errno));
	return 1;
}

static unsigned long long number(const char *text)
{
	char *end = NULL;
	errno = 0;
	unsigned long long value = strtoull(text, &end, 0);
	if (errno != 0 || end == text || *end != '\0') {
		fprintf(stderr, "mtdflash: not a number: %s\n", text);
		exit(2);
	}
	return value;
}

static int info(int fd, const char *dev, struct mtd_info_user *mi)
{
	if (ioctl(fd, MEMGETINFO, mi) != 0)
		return fail("MEMGETINFO", dev);
	return 0;
}

static int list_bad(int fd, const char *dev)
{
	struct mtd_info_user mi;
	if (info(fd, dev, &mi))
		return 1;
	int any = 0;
	for (uint32_t block = 0; block < mi.size / mi.erasesize; block++) {
		long long at = (long long)block * mi.erasesize;
		int bad = ioctl(fd, MEMGETBADBLOCK, &at);
		if (bad < 0)
			return fail("MEMGETBADBLOCK", dev);
		if (bad > 0) {
			printf(any ? " %u" : "%u", block);
			any = 1;
		}
	}
	printf(any ? "\n" : "none\n");
	return 0;
}

static int erase(int fd, const char *dev, uint32_t offset)
{
	struct mtd_info_user mi;
	if (info(fd, dev, &mi))
		return 1;
	struct erase_info_user ei = {.start = offset, .length = mi.erasesize};
	if (ioctl(fd, MEMERASE, &ei) != 0)
		return fail("MEMERASE", dev);
	return 0;
}

static int program(int fd, const char *dev, off_t offset, const char *file)
{
	int in = open(file, O_RDONLY);
	if (in < 0)
		return fail("open", file);
	struct stat st;
	if (fstat(in, &st) != 0)
		return fail("stat", file);
	char *data = malloc(st.st_size ? st.st_size : 1);
	if (data == NULL || read(in, data, st.st_size) != st.st_size)
		return fail("read", file);
	close(in);
	if (pwrite(fd, data, st.st_size, offset) != st.st_size)
		return fail("write", dev);
	free(data);
	return 0;
}

static int count(int fd, const char *dev, off_t offset, size_t length, unsigned byte)
{
	unsigned char buffer[4096];
	unsigned long long differing = 0;
	while (length > 0) {
		size_t chunk = length < sizeof(buffer) ? length : sizeof(buffer);
		ssize_t n = pread(fd, buffer, chunk, offset);
		if (n <= 0) {
			if (n == 0)
				errno = EIO;
			return fail("read", dev);
		}
		for (ssize_t i = 0; i < n; i++)
			differing += buffer[i] != byte;
		offset += n;
		length -= (size_t)n;
	}
	printf("%llu\n", differing);
	return 0;
}

int main(int argc, char **argv)
{
	if (argc < 3) {
		fprintf(stderr, "usage: mtdflash info|bad|erase|write|count DEV ...\n");
		return 2;
	}
	const char *op = argv[1], *dev = argv[2];
	int writes = strcmp(op, "erase") == 0 || strcmp(op, "write") == 0;
	int fd = open(dev, writes ? O_RDWR : O_RDONLY);
	if (fd < 0)
		return fail("open", dev);

	if (strcmp(op, "info") == 0 && argc == 3) {
		struct mtd_info_user mi;
		if (info(fd, dev, &mi))
			return 1;
		printf("%u %u %u\n", mi.size, mi.erasesize, mi.writesize);
		return 0;
	}
	if (strcmp(op, "bad") == 0 && argc == 3)
		return list_bad(fd, dev);
	if (strcmp(op, "erase") == 0 && argc == 4)
		return erase(fd, dev, (uint32_t)number(argv[3]));
	if (strcmp(op, "write") == 0 && argc == 5)
		return program(fd, dev, (off_t)number(argv[3]), argv[4]);
	if (strcmp(op, "count") == 0 && argc == 6)
		return count(fd, dev, (off_t)number(argv[3]), (size_t)number(argv[4]), (unsigned)number(argv[5]));
	fprintf(stderr, "mtdflash: bad arguments for %s\n", op);
	return 2;
}
