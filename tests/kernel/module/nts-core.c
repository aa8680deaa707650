// SPDX-License-Identifier: GPL-2.0
/*
 * The platform driver: the boards' topologies, the cameras it builds from
 * them, the sensor's I2C register file and the test's debugfs knobs.
 */
#include <linux/module.h>
#include <linux/vmalloc.h>

#include "nts.h"

static char *board = "pi4";
module_param(board, charp, 0444);
MODULE_PARM_DESC(board, "board family: pi4, pi5, rock, jetson, nano, pi4-mainline, pi5-mainline, rock-dphy0");

static int bus = 10;
module_param(bus, int, 0444);
MODULE_PARM_DESC(bus, "I2C bus number of camera 0 (camera n: bus + n)");

static int cameras = 1;
module_param(cameras, int, 0444);
MODULE_PARM_DESC(cameras, "number of cameras, 1 or 2, all on one platform device");

static bool sensor_first;
module_param(sensor_first, bool, 0444);
MODULE_PARM_DESC(sensor_first, "register the sensor entity before the board's own entities");

static bool meta_node;
module_param(meta_node, bool, 0444);
MODULE_PARM_DESC(meta_node, "register a metadata node first, as /dev/video0");

static uint width = 240, height = 180;
module_param(width, uint, 0444);
module_param(height, uint, 0444);
MODULE_PARM_DESC(width, "the sensor's width at power-up (one of its sizes)");
MODULE_PARM_DESC(height, "the sensor's height at power-up");

/* Media graph and board detection */

static bool stale_links;
module_param(stale_links, bool, 0444);
MODULE_PARM_DESC(stale_links, "links into the receiver's other nodes left enabled by an earlier program");

static bool ro_subdevs;
module_param(ro_subdevs, bool, 0444);
MODULE_PARM_DESC(ro_subdevs, "read-only sub-device nodes; the video node configures the sensor");

static ushort chip_addr = 0x0c;
module_param(chip_addr, ushort, 0444);
MODULE_PARM_DESC(chip_addr, "the sensor's I2C address, named in the entity names");

static int mplane = -1;
module_param(mplane, int, 0444);
MODULE_PARM_DESC(mplane, "1: multi-planar capture node, 0: single-planar, -1: as the board has it");

static bool real_model;
module_param(real_model, bool, 0444);
MODULE_PARM_DESC(real_model, "the media device's model as the board's receiver driver names it");

#define EN MEDIA_LNK_FL_ENABLED
#define IMM MEDIA_LNK_FL_IMMUTABLE

/*
 * Entities are listed in the order the board's drivers register them: the
 * receiver and its capture node first, the sensor when it binds.
 */
static const struct nts_board nts_pi4 = {
	.name = "pi4",
	.entities = {
		{ "unicam-image", NTS_CAPTURE },
		{ "norvane-tarnwelle %d-%04x", NTS_SENSOR },
	},
	.num_entities = 2,
	.links = {
		{ 1, 0, 0, 0, EN | IMM },	/* sensor straight into the capture node */
	},
	.num_links = 1,
	.pixelformat = V4L2_PIX_FMT_Y12,
	.line_align = 1,
	.mdev_model = "unicam",
};

/* Mainline unicam (6.11 on): a receiver sub-device between sensor and node. */
static const struct nts_board nts_pi4_mainline = {
	.name = "pi4-mainline",
	.entities = {
		{ "unicam", NTS_RECEIVER, 2 },
		{ "unicam-image", NTS_CAPTURE },
		{ "norvane-tarnwelle %d-%04x", NTS_SENSOR },
	},
	.num_entities = 3,
	.links = {
		{ 2, 0, 0, 0, EN | IMM },	/* sensor into the receiver */
		{ 0, 1, 1, 0, EN | IMM },	/* its image pad into the node */
	},
	.num_links = 2,
	.pixelformat = V4L2_PIX_FMT_Y12,
	.line_align = 1,
	.io_mc = true,
	.mdev_model = "unicam",
};

static const struct nts_board nts_pi5 = {
	.name = "pi5",
	.entities = {
		{ "csi2", NTS_RECEIVER, 4 },
		{ "rp1-cfe-csi2_ch0", NTS_CAPTURE },
		{ "norvane-tarnwelle %d-%04x", NTS_SENSOR },
		{ "rp1-cfe-embedded", NTS_NODE },
	},
	.num_entities = 4,
	.links = {
		{ 2, 0, 0, 0, EN | IMM },	/* sensor into the receiver's sink */
		{ 0, 4, 1, 0, NTS_STALE },	/* receiver channel to the node: routed by the user */
		{ 0, 2, 3, 0, NTS_STALE },	/* another channel to another node */
	},
	.num_links = 3,
	.pixelformat = V4L2_PIX_FMT_Y12P,
	.line_align = 16,
	.io_mc = true,
	.all_nodes_stream = true,
	.mdev_model = "rp1-cfe",
};

/* Mainline names: channel nodes "-chN", fed from source pads 1 to 4. */
static const struct nts_board nts_pi5_mainline = {
	.name = "pi5-mainline",
	.entities = {
		{ "csi2", NTS_RECEIVER, 4 },
		{ "rp1-cfe-csi2-ch0", NTS_CAPTURE },
		{ "norvane-tarnwelle %d-%04x", NTS_SENSOR },
		{ "rp1-cfe-csi2-ch1", NTS_NODE },
	},
	.num_entities = 4,
	.links = {
		{ 2, 0, 0, 0, EN | IMM },
		{ 0, 1, 1, 0, NTS_STALE },
		{ 0, 2, 3, 0, NTS_STALE },
	},
	.num_links = 3,
	.pixelformat = V4L2_PIX_FMT_Y12P,
	.line_align = 16,
	.io_mc = true,
	.all_nodes_stream = true,
	.mdev_model = "rp1-cfe",
};

static const struct nts_board nts_rock = {
	.name = "rock",
	.entities = {
		{ "rockchip-csi2-dphy1", NTS_RECEIVER, 1 },
		{ "stream_cif_mipi_id0", NTS_CAPTURE },
		{ "m00_b_tarnwelle %d-%04x", NTS_SENSOR },
	},
	.num_entities = 3,
	.links = {
		{ 2, 0, 0, 0, EN | IMM },	/* sensor into the D-PHY */
		{ 0, 1, 1, 0, EN },		/* D-PHY into the capture interface */
	},
	.num_links = 2,
	.mplane = true,
	.pixelformat = V4L2_PIX_FMT_Y12,
	.line_align = 1,
	.mdev_model = "rkcif",
};

/* The camera on the board's other D-PHY. */
static const struct nts_board nts_rock_dphy0 = {
	.name = "rock-dphy0",
	.entities = {
		{ "rockchip-csi2-dphy0", NTS_RECEIVER, 1 },
		{ "stream_cif_mipi_id0", NTS_CAPTURE },
		{ "m00_b_tarnwelle %d-%04x", NTS_SENSOR },
	},
	.num_entities = 3,
	.links = {
		{ 2, 0, 0, 0, EN | IMM },
		{ 0, 1, 1, 0, EN },
	},
	.num_links = 2,
	.mplane = true,
	.pixelformat = V4L2_PIX_FMT_Y12,
	.line_align = 1,
	.mdev_model = "rkcif",
};

static const struct nts_board nts_jetson = {
	.name = "jetson",
	.entities = {
		{ "vi-output, norvane %d-%04x", NTS_CAPTURE },
		{ "norvane %d-%04x", NTS_SENSOR },
	},
	.num_entities = 2,
	.links = {
		{ 1, 0, 0, 0, EN | IMM },	/* sensor into the video input */
	},
	.num_links = 1,
	.pixelformat = V4L2_PIX_FMT_Y12,
	.line_align = 1,
	.node_centric = true,
	.mdev_model = "NVIDIA Tegra Video Input Device",
};

/* The Nano's video input writes lines 256-byte aligned. */
static const struct nts_board nts_nano = {
	.name = "nano",
	.entities = {
		{ "vi-output, norvane %d-%04x", NTS_CAPTURE },
		{ "norvane %d-%04x", NTS_SENSOR },
	},
	.num_entities = 2,
	.links = {
		{ 1, 0, 0, 0, EN | IMM },
	},
	.num_links = 1,
	.pixelformat = V4L2_PIX_FMT_Y12,
	.line_align = 256,
	.node_centric = true,
	.mdev_model = "NVIDIA Tegra Video Input Device",
};

static const struct nts_board *nts_boards[] = {
	&nts_pi4, &nts_pi5, &nts_rock, &nts_jetson, &nts_nano,
	&nts_pi4_mainline, &nts_pi5_mainline, &nts_rock_dphy0, NULL
};

struct nts_device {
	struct nts_camera cams[NTS_MAX_CAMERAS];
	int count;
};

static struct dentry *nts_debugfs_root;
static struct platform_device *nts_pdev;

/* I2C: a register file with 16-bit addresses at 0x0c. */

static int nts_i2c_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	struct nts_camera *cam = i2c_get_adapdata(adap);
	int i;
	u16 j;

	for (i = 0; i < num; i++)
		if (msgs[i].addr != cam->chip_addr)
			return -ENXIO;
	mutex_lock(&cam->reg_lock);
	for (i = 0; i < num; i++) {
		struct i2c_msg *m = &msgs[i];

		if (m->flags & I2C_M_RD) {
			for (j = 0; j < m->len; j++)
				m->buf[j] = cam->regs[cam->reg_ptr++];
		} else if (m->len >= 2) {
			cam->reg_ptr = (u16)(m->buf[0] << 8 | m->buf[1]);
			for (j = 2; j < m->len; j++)
				cam->regs[cam->reg_ptr++] = m->buf[j];
		}
	}
	mutex_unlock(&cam->reg_lock);
	return num;
}

static u32 nts_i2c_func(struct i2c_adapter *adap)
{
	return I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
}

static const struct i2c_algorithm nts_i2c_algo = {
	.master_xfer = nts_i2c_xfer,
	.functionality = nts_i2c_func,
};

/* debugfs */

static ssize_t nts_frames_write(struct file *file, const char __user *ubuf, size_t len,
				loff_t *ppos)
{
	struct nts_camera *cam = file->private_data;
	ssize_t ret;

	mutex_lock(&cam->pattern_lock);
	if (!cam->pattern)
		cam->pattern = vzalloc(NTS_PATTERN_MAX);
	if (!cam->pattern) {
		ret = -ENOMEM;
		goto out;
	}
	if (*ppos == 0)
		cam->pattern_len = 0; /* a new pattern */
	ret = simple_write_to_buffer(cam->pattern, NTS_PATTERN_MAX, ppos, ubuf, len);
	if (ret > 0 && *ppos > cam->pattern_len)
		cam->pattern_len = *ppos;
out:
	mutex_unlock(&cam->pattern_lock);
	return ret;
}

static const struct file_operations nts_frames_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.write = nts_frames_write,
	.llseek = default_llseek,
};

/* Any write puts the queue in error, as a receiver that lost the stream. */
static ssize_t nts_queue_error_write(struct file *file, const char __user *ubuf, size_t len,
				     loff_t *ppos)
{
	struct nts_camera *cam = file->private_data;

	nts_capture_queue_error(&cam->cap);
	return len;
}

static const struct file_operations nts_queue_error_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.write = nts_queue_error_write,
	.llseek = noop_llseek,
};

/* Any write unregisters the capture node, as an unbound driver does. */
static ssize_t nts_unplug_write(struct file *file, const char __user *ubuf, size_t len, loff_t *ppos)
{
	struct nts_camera *cam = file->private_data;

	nts_capture_unplug(&cam->cap);
	return len;
}

static const struct file_operations nts_unplug_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.write = nts_unplug_write,
	.llseek = noop_llseek,
};

static void nts_debugfs_init(struct nts_camera *cam)
{
	struct nts_knobs *k = &cam->knobs;
	char name[16];
	struct dentry *d;

	k->period_us = 4000;
	k->group = 4;
	k->subframe_us = 1000;
	k->group_us = 33333;
	k->ioctl_errno = EAGAIN;

	snprintf(name, sizeof(name), "cam%d", cam->index);
	d = debugfs_create_dir(name, nts_debugfs_root);
	cam->debugfs = d;
	debugfs_create_u32("period_us", 0644, d, &k->period_us);
	debugfs_create_u32("group", 0644, d, &k->group);
	debugfs_create_u32("subframe_us", 0644, d, &k->subframe_us);
	debugfs_create_u32("group_us", 0644, d, &k->group_us);
	debugfs_create_u32("error_every", 0644, d, &k->error_every);
	debugfs_create_u32("short_every", 0644, d, &k->short_every);
	debugfs_create_u32("max_buffers", 0644, d, &k->max_buffers);
	debugfs_create_u32("page_round", 0644, d, &k->page_round);
	debugfs_create_u32("data_offset", 0644, d, &k->data_offset);
	debugfs_create_u32("ioctl_faults", 0644, d, &k->ioctl_faults);
	debugfs_create_u32("ioctl_errno", 0644, d, &k->ioctl_errno);
	debugfs_create_u32("stall", 0644, d, &k->stall);
	debugfs_create_file("frames", 0200, d, cam, &nts_frames_fops);
	debugfs_create_file("queue_error", 0200, d, cam, &nts_queue_error_fops);

	/* What the boards' drivers do to a stream. */
	debugfs_create_u32("line_pad", 0644, d, &k->line_pad);
	debugfs_create_u32("compact", 0644, d, &k->compact);
	debugfs_create_u32("substitute", 0644, d, &k->substitute);
	debugfs_create_u32("skip_sequence", 0644, d, &k->skip_sequence);
	debugfs_create_u32("no_timestamps", 0644, d, &k->no_timestamps);
	debugfs_create_u32("streamoff_error", 0644, d, &k->streamoff_error);
	debugfs_create_file("unplug", 0200, d, cam, &nts_unplug_fops);
}

/* One camera */

static int nts_create_entity(struct nts_camera *cam, unsigned int i)
{
	switch (cam->board->entities[i].kind) {
	case NTS_SENSOR:
		cam->entity[i] = &cam->sensor.sd.entity;
		return nts_sensor_init(cam, cam->width, cam->height);
	case NTS_RECEIVER:
		cam->entity[i] = &cam->receiver.sd.entity;
		return nts_receiver_init(cam);
	case NTS_CAPTURE:
		cam->entity[i] = &cam->cap.vdev.entity;
		return nts_capture_init(cam);
	case NTS_NODE:
		cam->entity[i] = &cam->other.entity;
		return nts_other_init(cam, cam->board->entities[i].name);
	}
	return -EINVAL;
}

static void nts_camera_teardown(struct nts_camera *cam)
{
	if (media_devnode_is_registered(cam->mdev.devnode))
		media_device_unregister(&cam->mdev);
	nts_capture_cleanup(&cam->cap);
	nts_other_cleanup(cam);
	nts_meta_cleanup(cam);
	nts_subdev_cleanup(&cam->receiver);
	nts_subdev_cleanup(&cam->sensor);
	if (cam->v4l2_registered)
		v4l2_device_unregister(&cam->v4l2_dev);
	if (cam->mdev_inited)
		media_device_cleanup(&cam->mdev);
	if (cam->adap_added)
		i2c_del_adapter(&cam->adap);
	debugfs_remove_recursive(cam->debugfs);
	vfree(cam->pattern);
	kfree(cam->regs);
}

static int nts_camera_setup(struct nts_camera *cam)
{
	const struct nts_board *b = cam->board;
	unsigned int order[NTS_MAX_ENTITIES], n = 0, i;
	int ret;

	mutex_init(&cam->reg_lock);
	mutex_init(&cam->pattern_lock);
	nts_debugfs_init(cam);
	cam->regs = kzalloc(NTS_REG_FILE_SIZE, GFP_KERNEL);
	if (!cam->regs)
		return -ENOMEM;

	cam->adap.owner = THIS_MODULE;
	cam->adap.algo = &nts_i2c_algo;
	cam->adap.dev.parent = cam->dev;
	cam->adap.nr = cam->bus;
	snprintf(cam->adap.name, sizeof(cam->adap.name), "%s i2c %d", NTS_NAME, cam->index);
	i2c_set_adapdata(&cam->adap, cam);
	ret = i2c_add_numbered_adapter(&cam->adap);
	if (ret)
		return ret;
	cam->adap_added = true;

	cam->mdev.dev = cam->dev;
	strscpy(cam->mdev.model, real_model ? b->mdev_model : "Norvane test sensor",
		sizeof(cam->mdev.model));
	snprintf(cam->mdev.bus_info, sizeof(cam->mdev.bus_info), "platform:%s-%d", NTS_NAME,
		 cam->index);
	media_device_init(&cam->mdev);
	cam->mdev_inited = true;
	cam->v4l2_dev.mdev = &cam->mdev;
	snprintf(cam->v4l2_dev.name, sizeof(cam->v4l2_dev.name), "nts-cam%d", cam->index);
	ret = v4l2_device_register(cam->dev, &cam->v4l2_dev);
	if (ret)
		return ret;
	cam->v4l2_registered = true;

	if (meta_node) {
		ret = nts_meta_init(cam);
		if (ret)
			return ret;
	}
	/* Registration order: the table's, or the sensor first. */
	for (i = 0; i < b->num_entities; i++)
		if (sensor_first && b->entities[i].kind == NTS_SENSOR)
			order[n++] = i;
	for (i = 0; i < b->num_entities; i++)
		if (!(sensor_first && b->entities[i].kind == NTS_SENSOR))
			order[n++] = i;
	for (i = 0; i < n; i++) {
		/* The receiver's other nodes matter only with their stale links. */
		if (b->entities[order[i]].kind == NTS_NODE && !stale_links)
			continue;
		ret = nts_create_entity(cam, order[i]);
		if (ret)
			return ret;
	}
	for (i = 0; i < b->num_links; i++) {
		const struct nts_link_desc *l = &b->links[i];

		u32 flags = l->flags & ~NTS_STALE;

		if (!cam->entity[l->src] || !cam->entity[l->sink])
			continue;
		if ((l->flags & NTS_STALE) && stale_links)
			flags |= EN;
		ret = media_create_pad_link(cam->entity[l->src], l->src_pad, cam->entity[l->sink],
					    l->sink_pad, flags);
		if (ret)
			return ret;
	}
	ret = ro_subdevs ? v4l2_device_register_ro_subdev_nodes(&cam->v4l2_dev) :
			   v4l2_device_register_subdev_nodes(&cam->v4l2_dev);
	if (ret)
		return ret;
	return media_device_register(&cam->mdev);
}

static int nts_probe(struct platform_device *pdev)
{
	const struct nts_board *b = NULL;
	struct nts_device *nd;
	int i, ret;

	for (i = 0; nts_boards[i]; i++)
		if (!strcmp(nts_boards[i]->name, board))
			b = nts_boards[i];
	if (!b || cameras < 1 || cameras > NTS_MAX_CAMERAS) {
		dev_err(&pdev->dev, "board %s with %d cameras is not offered\n", board, cameras);
		return -EINVAL;
	}
	nd = devm_kzalloc(&pdev->dev, sizeof(*nd), GFP_KERNEL);
	if (!nd)
		return -ENOMEM;
	platform_set_drvdata(pdev, nd);
	for (i = 0; i < cameras; i++) {
		struct nts_camera *cam = &nd->cams[i];

		cam->dev = &pdev->dev;
		cam->board = b;
		cam->index = i;
		cam->bus = bus + i;
		cam->width = width;
		cam->height = height;
		cam->chip_addr = chip_addr;
		cam->mplane = mplane < 0 ? b->mplane : mplane;
		cam->node_centric = b->node_centric || ro_subdevs;
		nd->count = i + 1;
		ret = nts_camera_setup(cam);
		if (ret)
			goto err_teardown;
	}
	return 0;

err_teardown:
	for (i = nd->count - 1; i >= 0; i--)
		nts_camera_teardown(&nd->cams[i]);
	return ret;
}

static void nts_remove_cameras(struct platform_device *pdev)
{
	struct nts_device *nd = platform_get_drvdata(pdev);
	int i;

	for (i = nd->count - 1; i >= 0; i--)
		nts_camera_teardown(&nd->cams[i]);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
static void nts_remove(struct platform_device *pdev)
{
	nts_remove_cameras(pdev);
}
#else
static int nts_remove(struct platform_device *pdev)
{
	nts_remove_cameras(pdev);
	return 0;
}
#endif

static struct platform_driver nts_driver = {
	.probe = nts_probe,
	.remove = nts_remove,
	.driver = {
		.name = NTS_NAME,
	},
};

static int __init nts_init(void)
{
	int ret;

	nts_debugfs_root = debugfs_create_dir(NTS_NAME, NULL);
	ret = platform_driver_register(&nts_driver);
	if (ret)
		goto err_debugfs;
	nts_pdev = platform_device_register_simple(NTS_NAME, -1, NULL, 0);
	if (IS_ERR(nts_pdev)) {
		ret = PTR_ERR(nts_pdev);
		goto err_driver;
	}
	/* A board the driver refused leaves the device unbound: fail the load. */
	if (!platform_get_drvdata(nts_pdev)) {
		ret = -ENODEV;
		goto err_device;
	}
	return 0;

err_device:
	platform_device_unregister(nts_pdev);
err_driver:
	platform_driver_unregister(&nts_driver);
err_debugfs:
	debugfs_remove_recursive(nts_debugfs_root);
	return ret;
}

static void __exit nts_exit(void)
{
	platform_device_unregister(nts_pdev);
	platform_driver_unregister(&nts_driver);
	debugfs_remove_recursive(nts_debugfs_root);
}

module_init(nts_init);
module_exit(nts_exit);

MODULE_DESCRIPTION("Norvane time-of-flight sensor as the supported boards wire it, for tests");
MODULE_AUTHOR("NorvaneDepthCamera developers");
MODULE_LICENSE("GPL");
