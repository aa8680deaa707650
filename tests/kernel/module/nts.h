/* SPDX-License-Identifier: GPL-2.0 */
/*
 * norvane-test-sensor: a time-of-flight sensor as each supported board
 * wires it, for the real-kernel tests.
 *
 * One platform device carries one or two cameras. A camera is a V4L2
 * device with its own media device: a sensor sub-device, an optional
 * receiver sub-device and a capture video node, named and linked as the
 * chosen board has them (see the topology tables in nts-core.c), plus an
 * I2C adapter with a register file at 0x0c. Frames are replayed from a
 * pattern the test writes through debugfs, with timing and faults the test
 * chooses there as well.
 */
#ifndef NTS_H
#define NTS_H

#include <linux/debugfs.h>
#include <linux/i2c.h>
#include <linux/kthread.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/spinlock.h>
#include <linux/version.h>
#include <media/media-device.h>
#include <media/v4l2-ctrls.h>
#include <media/v4l2-device.h>
#include <media/v4l2-subdev.h>
#include <media/videobuf2-v4l2.h>

#define NTS_NAME "norvane-test-sensor"
#define NTS_MAX_CAMERAS 2
#define NTS_MAX_ENTITIES 4
#define NTS_MAX_LINKS 4
#define NTS_MAX_PADS 5
#define NTS_REG_FILE_SIZE 0x10000
#define NTS_PATTERN_MAX (8u << 20)
#define NTS_MIN_SIZE 16   /* frame sides the nodes accept */
#define NTS_MAX_SIZE 8192

/* Not in every kernel's format table: the capture node describes it. */
#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

#define NTS_CID_RANGE 0x00981901 /* 1: short range, 0: long range */

/* NTS_NODE: another node of the receiver, linked but never streamed here. */
enum nts_kind { NTS_SENSOR, NTS_RECEIVER, NTS_CAPTURE, NTS_NODE };

/* A link created enabled only with stale_links: left so by an earlier program. */
#define NTS_STALE (1u << 31)

/**
 * struct nts_entity_desc - one entity of a board's media graph
 * @name: printf format; %d receives the camera's I2C bus number, %04x
 *	the sensor's chip address
 * @kind: what the entity is
 * @source_pads: receivers: number of source pads after sink pad 0
 */
struct nts_entity_desc {
	const char *name;
	enum nts_kind kind;
	unsigned int source_pads;
};

/**
 * struct nts_link_desc - one link of a board's media graph
 * @src: source entity index, @src_pad its pad
 * @sink: sink entity index, @sink_pad its pad
 * @flags: MEDIA_LNK_FL_* as the board's driver creates the link
 */
struct nts_link_desc {
	u8 src, src_pad, sink, sink_pad;
	u32 flags;
};

/**
 * struct nts_board - how one board family presents the camera
 * @name: module parameter value selecting it
 * @entities: entities in the order the board's drivers register them
 * @links: the links between them
 * @mplane: the capture node is multi-planar
 * @pixelformat: the node's only pixel format
 * @line_align: bytes per line are rounded up to this
 * @node_centric: the video node drives the sensor: formats set on the node
 *	reach the sensor, and its controls are reached through the node
 *	(boards whose tools do not walk the media graph)
 * @io_mc: the capture node reports V4L2_CAP_IO_MC (configured through the graph)
 * @all_nodes_stream: frames flow only while every node with an enabled link
 *	streams, so a link left enabled into another node stalls the stream
 * @mdev_model: the media device's model as the board's receiver driver names it
 */
struct nts_board {
	const char *name;
	struct nts_entity_desc entities[NTS_MAX_ENTITIES];
	unsigned int num_entities;
	struct nts_link_desc links[NTS_MAX_LINKS];
	unsigned int num_links;
	bool mplane;
	u32 pixelformat;
	unsigned int line_align;
	bool node_centric;
	bool io_mc;
	bool all_nodes_stream;
	const char *mdev_model;
};

/**
 * struct nts_knobs - what the test sets through debugfs
 * @period_us: real time between two produced frames
 * @group: frames per group (the sensor's sub-frames of one capture)
 * @subframe_us: timestamp step between frames of a group
 * @group_us: timestamp step between groups
 * @error_every: every n-th frame comes back with V4L2_BUF_FLAG_ERROR
 * @short_every: every n-th frame is short (half its bytes used)
 * @max_buffers: most buffers the queue grants (0: as asked)
 * @page_round: buffer lengths are rounded up to whole pages
 * @data_offset: multi-planar: the frame starts this far into the plane
 * @ioctl_faults: the next n streaming ioctls fail with @ioctl_errno
 * @ioctl_errno: EAGAIN or EINTR
 * @stall: produce nothing while set
 *
 * What the boards' drivers do to a stream (set before the camera opens):
 * @line_pad: bytes added to every line
 * @compact: Rockchip compact mode: 12-bit samples packed as they came, lines
 *	rounded to 256 bytes, planes of rows rounded to 16
 * @substitute: TRY/S_FMT answer another format (8-bit grey) instead of failing
 * @skip_sequence: the frame of this sequence number is dropped (0: none)
 * @no_timestamps: buffers carry no timestamp (zero, flagged unknown)
 * @streamoff_error: the next STREAMOFF stops the stream and answers EIO
 */
struct nts_knobs {
	u32 period_us, group, subframe_us, group_us;
	u32 error_every, short_every, max_buffers, page_round, data_offset;
	u32 ioctl_faults, ioctl_errno, stall;

	u32 line_pad, compact, substitute, skip_sequence, no_timestamps, streamoff_error;
};

struct nts_size {
	u32 width, height;
};

struct nts_subdev {
	struct v4l2_subdev sd;
	struct media_pad pads[NTS_MAX_PADS];
	struct v4l2_mbus_framefmt fmt[NTS_MAX_PADS]; /* ACTIVE, per pad */
	struct v4l2_rect crop;                     /* ACTIVE crop, sensor */
	const struct nts_size *default_size;       /* sensor: at power-up */
	struct v4l2_ctrl_handler ctrls;
	struct nts_camera *cam;
	bool streaming;
};

struct nts_capture {
	struct video_device vdev;
	struct media_pad pad;
	struct vb2_queue queue;
	struct mutex lock;            /* the node's ioctls and the queue */
	spinlock_t qlock;             /* @buffers */
	struct list_head buffers;     /* queued, waiting to be filled */
	struct v4l2_pix_format fmt;   /* single-planar view of the format */
	struct media_pipeline pipe;
	struct task_struct *thread;
	u32 sequence;
	u64 base_ns;
	bool held;                    /* all_nodes_stream: waiting for other nodes */
	struct nts_camera *cam;
};

/**
 * struct nts_camera - one camera: its graph, its bus, its test knobs
 */
struct nts_camera {
	struct device *dev;
	const struct nts_board *board;
	int index, bus;
	u32 width, height;            /* the sensor's size at power-up */
	u16 chip_addr;                /* where the register file answers */
	bool mplane;                  /* the capture node is multi-planar */
	bool node_centric;            /* the board's, or forced by read-only sub-devices */
	struct v4l2_device v4l2_dev;
	struct media_device mdev;
	struct nts_subdev sensor, receiver;
	bool v4l2_registered, mdev_inited;
	struct nts_capture cap;
	struct video_device meta;     /* optional metadata node, no queue */
	bool has_meta;
	struct video_device other;    /* NTS_NODE, no queue */
	struct media_pad other_pad;
	bool has_other;
	struct media_entity *entity[NTS_MAX_ENTITIES];

	struct i2c_adapter adap;
	bool adap_added;
	struct mutex reg_lock;        /* @regs, @reg_ptr */
	u8 *regs;
	u16 reg_ptr;

	struct mutex pattern_lock;    /* @pattern, @pattern_len */
	u8 *pattern;
	size_t pattern_len;
	struct nts_knobs knobs;
	struct dentry *debugfs;
};

int nts_sensor_init(struct nts_camera *cam, u32 width, u32 height);
int nts_receiver_init(struct nts_camera *cam);
void nts_subdev_cleanup(struct nts_subdev *s);
void nts_sensor_nearest_size(u32 *width, u32 *height);
void nts_sensor_set_active(struct nts_subdev *s, u32 width, u32 height);
int nts_capture_init(struct nts_camera *cam);
void nts_capture_cleanup(struct nts_capture *cap);
void nts_capture_queue_error(struct nts_capture *cap);
void nts_capture_unplug(struct nts_capture *cap);
int nts_meta_init(struct nts_camera *cam);
void nts_meta_cleanup(struct nts_camera *cam);
int nts_other_init(struct nts_camera *cam, const char *name);
void nts_other_cleanup(struct nts_camera *cam);

static inline struct nts_subdev *to_nts_subdev(struct v4l2_subdev *sd)
{
	return container_of(sd, struct nts_subdev, sd);
}

#endif /* NTS_H */
