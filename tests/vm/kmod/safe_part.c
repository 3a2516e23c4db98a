// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * Adds one named partition on an existing MTD device, the way a board's
 * device tree or command line would. The distribution kernel has neither
 * command-line partitions nor the partitioned master, and refuses the BLKPG
 * request of user space on nandsim, so the keyring partition of a raw NAND
 * board can only be made from inside the kernel.
 *
 *   insmod safe_part.ko parent=0 offset=0x20000 size=0x100000 name=safe
 */
#include <linux/err.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mtd/mtd.h>
#include <linux/mtd/partitions.h>

static int parent;
module_param(parent, int, 0444);
MODULE_PARM_DESC(parent, "index of the MTD device that receives the partition");

static unsigned long long offset;
module_param(offset, ullong, 0444);
MODULE_PARM_DESC(offset, "byte offset of the partition on the parent, a multiple of its erase size");

static unsigned long long size;
module_param(size, ullong, 0444);
MODULE_PARM_DESC(size, "byte size of the partition, a multiple of the parent's erase size");

static char *name = "safe";
module_param(name, charp, 0444);
MODULE_PARM_DESC(name, "name of the partition, as /proc/mtd shows it");

static struct mtd_info *master;
static int partition_index = -1;

static int __init safe_part_init(void)
{
	struct mtd_info *added;
	int ret;

	master = get_mtd_device(NULL, parent);
	if (IS_ERR(master)) {
		pr_err("safe_part: no MTD device %d\n", parent);
		return PTR_ERR(master);
	}
	ret = mtd_add_partition(master, name, offset, size);
	if (ret) {
		pr_err("safe_part: adding \"%s\" at 0x%llx+0x%llx on %s: %d\n", name, offset, size,
		       master->name, ret);
		put_mtd_device(master);
		return ret;
	}
	added = get_mtd_device_nm(name);
	if (!IS_ERR(added)) {
		partition_index = added->index;
		put_mtd_device(added);
	}
	pr_info("safe_part: mtd%d \"%s\" at 0x%llx+0x%llx on mtd%d\n", partition_index, name, offset,
		size, parent);
	return 0;
}

static void __exit safe_part_exit(void)
{
	if (partition_index >= 0)
		mtd_del_partition(master, partition_index);
	put_mtd_device(master);
}

module_init(safe_part_init);
module_exit(safe_part_exit);
MODULE_DESCRIPTION("One named MTD partition on an existing MTD device");
// Dual: mtd_add_partition() is exported to GPL-compatible modules only.
MODULE_LICENSE("Dual MIT/GPL");
