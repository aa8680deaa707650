// SPDX-License-Identifier: GPL-2.0
/*
 * The capture video node: one format (the board's), vb2-vmalloc buffers,
 * a pipeline check at stream start, and a thread that fills the queued
 * buffers from the test's pattern at the test's pace.
 */
#include <linux/delay.h>
#include <linux/vmalloc.h>
#include <media/v4l2-ioctl.h>
#include <media/videobuf2-vmalloc.h>

#include "nts.h"

#define NTS_JUNK 0xa5

struct nts_buffer {
	struct vb2_v4l2_buffer vb;
	struct list_head list;
};

static struct nts_capture *to_cap(struct file *file)
{
	return container_of(video_devdata(file), struct nts_capture, vdev);
}

static bool nts_packed(const struct nts_board *b)
{
	return b->pixelformat == V4L2_PIX_FMT_Y12P;
}

/* The node's format for a requested size, as V4L2 wants it corrected. */
static void nts_adjust(const struct nts_camera *cam, struct v4l2_pix_format *pix)
{
	const struct nts_board *b = cam->board;
	const struct nts_knobs *k = &cam->knobs;
	u32 line;

	pix->width = clamp_t(u32, pix->width, NTS_MIN_SIZE, NTS_MAX_SIZE);
	pix->height = clamp_t(u32, pix->height, NTS_MIN_SIZE, NTS_MAX_SIZE);
	/* Driving the sensor, the node offers the sensor's sizes only. */
	if (cam->node_centric)
		nts_sensor_nearest_size(&pix->width, &pix->height);
	pix->pixelformat = b->pixelformat;
	pix->field = V4L2_FIELD_NONE;
	pix->colorspace = V4L2_COLORSPACE_RAW;
	line = nts_packed(b) ? pix->width * 3 / 2 : pix->width * 2;
	pix->bytesperline = ALIGN(line, b->line_align) + READ_ONCE(k->line_pad);
	/* Compact: the format keeps its name, the samples come packed. */
	if (READ_ONCE(k->compact))
		pix->bytesperline = ALIGN(pix->width * 12 / 8, 256);
	/* Asked for a format it lacks, the driver answers with another one. */
	if (READ_ONCE(k->substitute)) {
		pix->pixelformat = V4L2_PIX_FMT_GREY;
		pix->bytesperline = pix->width;
	}
	pix->sizeimage = pix->bytesperline * pix->height;
}

/* Compact mode allocates planes of rows rounded to 16. */
static unsigned int nts_plane_rows(struct nts_capture *cap)
{
	return READ_ONCE(cap->cam->knobs.compact) ? ALIGN(cap->fmt.height, 16) : cap->fmt.height;
}

/* Fault injection: the next ioctl_faults streaming ioctls fail. */
static int nts_fault(struct nts_capture *cap)
{
	struct nts_knobs *k = &cap->cam->knobs;
	u32 n = READ_ONCE(k->ioctl_faults);

	if (!n)
		return 0;
	WRITE_ONCE(k->ioctl_faults, n - 1);
	return READ_ONCE(k->ioctl_errno) == EINTR ? -EINTR : -EAGAIN;
}

static u32 nts_capture_caps(const struct nts_camera *cam)
{
	return (cam->mplane ? V4L2_CAP_VIDEO_CAPTURE_MPLANE : V4L2_CAP_VIDEO_CAPTURE) | V4L2_CAP_STREAMING |
	       (cam->board->io_mc ? V4L2_CAP_IO_MC : 0);
}

/* Like many drivers, both nodes report what the whole device can do. */
static void nts_fill_cap(struct nts_camera *cam, struct video_device *vdev,
			 struct v4l2_capability *cap)
{
	strscpy(cap->driver, NTS_NAME, sizeof(cap->driver));
	strscpy(cap->card, vdev->name, sizeof(cap->card));
	snprintf(cap->bus_info, sizeof(cap->bus_info), "platform:%s-%d", NTS_NAME, cam->index);
	cap->capabilities |= nts_capture_caps(cam) | V4L2_CAP_DEVICE_CAPS |
			     (cam->has_meta ? V4L2_CAP_META_CAPTURE : 0);
}

static int nts_querycap(struct file *file, void *priv, struct v4l2_capability *cap)
{
	struct nts_capture *c = to_cap(file);

	nts_fill_cap(c->cam, &c->vdev, cap);
	return 0;
}

static int nts_enum_fmt(struct file *file, void *priv, struct v4l2_fmtdesc *f)
{
	const struct nts_board *b = to_cap(file)->cam->board;

	if (f->index > 0)
		return -EINVAL;
	f->pixelformat = b->pixelformat;
	/* Older kernels do not know the packed format: name it here. */
	if (nts_packed(b))
		strscpy(f->description, "12-bit Greyscale (MIPI packed)", sizeof(f->description));
	return 0;
}

static void nts_to_mplane(const struct v4l2_pix_format *pix, struct v4l2_pix_format_mplane *mp)
{
	memset(mp, 0, sizeof(*mp));
	mp->width = pix->width;
	mp->height = pix->height;
	mp->pixelformat = pix->pixelformat;
	mp->field = pix->field;
	mp->colorspace = pix->colorspace;
	mp->num_planes = 1;
	mp->plane_fmt[0].bytesperline = pix->bytesperline;
	mp->plane_fmt[0].sizeimage = pix->sizeimage;
}

static int nts_g_fmt(struct file *file, void *priv, struct v4l2_format *f)
{
	f->fmt.pix = to_cap(file)->fmt;
	return 0;
}

static int nts_try_fmt(struct file *file, void *priv, struct v4l2_format *f)
{
	struct nts_capture *cap = to_cap(file);
	int ret = nts_fault(cap);

	if (ret)
		return ret;
	f->fmt.pix.priv = 0;
	nts_adjust(cap->cam, &f->fmt.pix);
	return 0;
}

static int nts_s_fmt(struct file *file, void *priv, struct v4l2_format *f)
{
	struct nts_capture *cap = to_cap(file);
	int ret;

	if (vb2_is_busy(&cap->queue))
		return -EBUSY;
	ret = nts_try_fmt(file, priv, f);
	if (ret)
		return ret;
	cap->fmt = f->fmt.pix;
	if (cap->cam->node_centric)
		nts_sensor_set_active(&cap->cam->sensor, cap->fmt.width, cap->fmt.height);
	return 0;
}

static int nts_g_fmt_mp(struct file *file, void *priv, struct v4l2_format *f)
{
	nts_to_mplane(&to_cap(file)->fmt, &f->fmt.pix_mp);
	return 0;
}

static int nts_try_fmt_mp_pix(struct file *file, struct v4l2_format *f, struct v4l2_pix_format *pix)
{
	struct nts_capture *cap = to_cap(file);
	int ret = nts_fault(cap);

	if (ret)
		return ret;
	memset(pix, 0, sizeof(*pix));
	pix->width = f->fmt.pix_mp.width;
	pix->height = f->fmt.pix_mp.height;
	nts_adjust(cap->cam, pix);
	nts_to_mplane(pix, &f->fmt.pix_mp);
	return 0;
}

static int nts_try_fmt_mp(struct file *file, void *priv, struct v4l2_format *f)
{
	struct v4l2_pix_format pix;

	return nts_try_fmt_mp_pix(file, f, &pix);
}

static int nts_s_fmt_mp(struct file *file, void *priv, struct v4l2_format *f)
{
	struct nts_capture *cap = to_cap(file);
	struct v4l2_pix_format pix;
	int ret;

	if (vb2_is_busy(&cap->queue))
		return -EBUSY;
	ret = nts_try_fmt_mp_pix(file, f, &pix);
	if (!ret)
		cap->fmt = pix;
	return ret;
}

static int nts_enum_input(struct file *file, void *priv, struct v4l2_input *in)
{
	if (in->index > 0)
		return -EINVAL;
	strscpy(in->name, "Camera", sizeof(in->name));
	in->type = V4L2_INPUT_TYPE_CAMERA;
	return 0;
}

static int nts_g_input(struct file *file, void *priv, unsigned int *i)
{
	*i = 0;
	return 0;
}

static int nts_s_input(struct file *file, void *priv, unsigned int i)
{
	return i ? -EINVAL : 0;
}

/* The streaming ioctls, each able to fail as the test asks. */
#define NTS_FAULTY(name, argtype)                                              \
	static int nts_##name(struct file *file, void *priv, argtype arg)      \
	{                                                                      \
		int ret = nts_fault(to_cap(file));                             \
		return ret ? ret : vb2_ioctl_##name(file, priv, arg);          \
	}
NTS_FAULTY(reqbufs, struct v4l2_requestbuffers *)
NTS_FAULTY(querybuf, struct v4l2_buffer *)
NTS_FAULTY(qbuf, struct v4l2_buffer *)
NTS_FAULTY(dqbuf, struct v4l2_buffer *)
NTS_FAULTY(streamon, enum v4l2_buf_type)

static int nts_streamoff(struct file *file, void *priv, enum v4l2_buf_type type)
{
	struct nts_knobs *k = &to_cap(file)->cam->knobs;
	int ret = vb2_ioctl_streamoff(file, priv, type);

	if (ret || !READ_ONCE(k->streamoff_error))
		return ret;
	WRITE_ONCE(k->streamoff_error, 0);
	return -EIO;
}

static const struct v4l2_ioctl_ops nts_ioctl_ops = {
	.vidioc_querycap = nts_querycap,
	.vidioc_enum_fmt_vid_cap = nts_enum_fmt,
	.vidioc_g_fmt_vid_cap = nts_g_fmt,
	.vidioc_try_fmt_vid_cap = nts_try_fmt,
	.vidioc_s_fmt_vid_cap = nts_s_fmt,
	.vidioc_enum_input = nts_enum_input,
	.vidioc_g_input = nts_g_input,
	.vidioc_s_input = nts_s_input,
	.vidioc_reqbufs = nts_reqbufs,
	.vidioc_querybuf = nts_querybuf,
	.vidioc_qbuf = nts_qbuf,
	.vidioc_dqbuf = nts_dqbuf,
	.vidioc_create_bufs = vb2_ioctl_create_bufs,
	.vidioc_prepare_buf = vb2_ioctl_prepare_buf,
	.vidioc_expbuf = vb2_ioctl_expbuf,
	.vidioc_streamon = nts_streamon,
	.vidioc_streamoff = nts_streamoff,
};

static const struct v4l2_ioctl_ops nts_ioctl_ops_mp = {
	.vidioc_querycap = nts_querycap,
	.vidioc_enum_fmt_vid_cap = nts_enum_fmt,
	.vidioc_g_fmt_vid_cap_mplane = nts_g_fmt_mp,
	.vidioc_try_fmt_vid_cap_mplane = nts_try_fmt_mp,
	.vidioc_s_fmt_vid_cap_mplane = nts_s_fmt_mp,
	.vidioc_enum_input = nts_enum_input,
	.vidioc_g_input = nts_g_input,
	.vidioc_s_input = nts_s_input,
	.vidioc_reqbufs = nts_reqbufs,
	.vidioc_querybuf = nts_querybuf,
	.vidioc_qbuf = nts_qbuf,
	.vidioc_dqbuf = nts_dqbuf,
	.vidioc_create_bufs = vb2_ioctl_create_bufs,
	.vidioc_prepare_buf = vb2_ioctl_prepare_buf,
	.vidioc_expbuf = vb2_ioctl_expbuf,
	.vidioc_streamon = nts_streamon,
	.vidioc_streamoff = nts_streamoff,
};

static const struct v4l2_file_operations nts_fops = {
	.owner = THIS_MODULE,
	.open = v4l2_fh_open,
	.release = vb2_fop_release,
	.poll = vb2_fop_poll,
	.mmap = vb2_fop_mmap,
	.unlocked_ioctl = video_ioctl2,
};

/* Buffers */

/* Where the frame starts in a plane (only multi-planar buffers can say). */
static u32 nts_data_offset(struct nts_capture *cap)
{
	return cap->cam->mplane ? READ_ONCE(cap->cam->knobs.data_offset) : 0;
}

static int nts_queue_setup(struct vb2_queue *q, unsigned int *nbuffers, unsigned int *nplanes,
			   unsigned int sizes[], struct device *alloc_devs[])
{
	struct nts_capture *cap = vb2_get_drv_priv(q);
	const struct nts_knobs *k = &cap->cam->knobs;
	unsigned int size = cap->fmt.bytesperline * nts_plane_rows(cap) + nts_data_offset(cap);
	u32 max = READ_ONCE(k->max_buffers);

	if (READ_ONCE(k->page_round))
		size = PAGE_ALIGN(size);
	if (max && *nbuffers > max)
		*nbuffers = max;
	if (*nplanes)
		return *nplanes != 1 || sizes[0] < size ? -EINVAL : 0;
	*nplanes = 1;
	sizes[0] = size;
	return 0;
}

static int nts_buf_prepare(struct vb2_buffer *vb)
{
	struct nts_capture *cap = vb2_get_drv_priv(vb->vb2_queue);

	if (vb2_plane_size(vb, 0) < cap->fmt.sizeimage + nts_data_offset(cap))
		return -EINVAL;
	vb2_set_plane_payload(vb, 0, cap->fmt.sizeimage + nts_data_offset(cap));
	return 0;
}

static void nts_buf_queue(struct vb2_buffer *vb)
{
	struct nts_capture *cap = vb2_get_drv_priv(vb->vb2_queue);
	struct nts_buffer *buf = container_of(to_vb2_v4l2_buffer(vb), struct nts_buffer, vb);

	spin_lock(&cap->qlock);
	list_add_tail(&buf->list, &cap->buffers);
	spin_unlock(&cap->qlock);
}

static void nts_return_all(struct nts_capture *cap, enum vb2_buffer_state state)
{
	struct nts_buffer *buf, *tmp;

	spin_lock(&cap->qlock);
	list_for_each_entry_safe(buf, tmp, &cap->buffers, list) {
		list_del(&buf->list);
		vb2_buffer_done(&buf->vb.vb2_buf, state);
	}
	spin_unlock(&cap->qlock);
}

static void nts_fill(struct nts_capture *cap, struct nts_buffer *buf, u32 seq)
{
	struct nts_camera *cam = cap->cam;
	const struct nts_knobs *k = &cam->knobs;
	enum vb2_buffer_state state = VB2_BUF_STATE_DONE;
	size_t frame = cap->fmt.sizeimage, used = frame;
	u32 offset = nts_data_offset(cap);
	u8 *dst;
	u32 group = max_t(u32, READ_ONCE(k->group), 1);
	u32 error_every = READ_ONCE(k->error_every), short_every = READ_ONCE(k->short_every);
	u64 stamp_us;
	size_t n;

	/* The knob may have grown since the buffers were allocated. */
	if (vb2_plane_size(&buf->vb.vb2_buf, 0) < frame + offset)
		offset = 0;
	dst = (u8 *)vb2_plane_vaddr(&buf->vb.vb2_buf, 0) + offset;
	memset(dst - offset, NTS_JUNK, offset);
	mutex_lock(&cam->pattern_lock);
	n = cam->pattern_len / frame;
	if (n)
		memcpy(dst, cam->pattern + (seq % n) * frame, frame);
	else
		memset(dst, 0, frame);
	mutex_unlock(&cam->pattern_lock);

	if (error_every && (seq + 1) % error_every == 0) {
		memset(dst, NTS_JUNK, frame);
		state = VB2_BUF_STATE_ERROR;
	} else if (short_every && (seq + 1) % short_every == 0) {
		used = frame / 2;
		memset(dst + used, NTS_JUNK, frame - used);
	}
	stamp_us = (u64)(seq / group) * READ_ONCE(k->group_us) +
		    (u64)(seq % group) * READ_ONCE(k->subframe_us);
	buf->vb.vb2_buf.timestamp = READ_ONCE(k->no_timestamps) ? 0 : cap->base_ns + stamp_us * NSEC_PER_USEC;
	buf->vb.sequence = seq;
	buf->vb.field = V4L2_FIELD_NONE;
	buf->vb.vb2_buf.planes[0].data_offset = offset;
	vb2_set_plane_payload(&buf->vb.vb2_buf, 0, offset + used);
	vb2_buffer_done(&buf->vb.vb2_buf, state);
}

static int nts_thread(void *data)
{
	struct nts_capture *cap = data;
	const struct nts_knobs *k = &cap->cam->knobs;

	while (!kthread_should_stop()) {
		u32 period = max_t(u32, READ_ONCE(k->period_us), 100);

		if (!READ_ONCE(k->stall) && !cap->held) {
			struct nts_buffer *buf;
			u32 seq = cap->sequence++;
			u32 skip = READ_ONCE(k->skip_sequence);

			spin_lock(&cap->qlock);
			buf = skip && seq == skip ? NULL :
			      list_first_entry_or_null(&cap->buffers, struct nts_buffer, list);
			if (buf)
				list_del(&buf->list);
			spin_unlock(&cap->qlock);
			/* Without a queued buffer the frame is dropped, as a receiver does. */
			if (buf)
				nts_fill(cap, buf, seq);
		}
		usleep_range(period, period + period / 8);
	}
	return 0;
}

/*
 * Whether another node of the receiver has an enabled link: on a board
 * whose receiver waits for every such node to stream, ours never starts.
 */
static bool nts_other_node_linked(struct nts_camera *cam)
{
	struct media_link *link;
	bool linked = false;

	if (!cam->has_other)
		return false;
	mutex_lock(&cam->mdev.graph_mutex);
	list_for_each_entry(link, &cam->other.entity.links, list)
		if (link->flags & MEDIA_LNK_FL_ENABLED)
			linked = true;
	mutex_unlock(&cam->mdev.graph_mutex);
	return linked;
}

static void nts_set_streaming(struct nts_camera *cam, bool on)
{
	cam->sensor.streaming = on;
	cam->receiver.streaming = on;
}

static int nts_start_streaming(struct vb2_queue *q, unsigned int count)
{
	struct nts_capture *cap = vb2_get_drv_priv(q);
	int ret;

	ret = video_device_pipeline_start(&cap->vdev, &cap->pipe);
	if (ret)
		goto err_return;
	nts_set_streaming(cap->cam, true);
	/* Read by vb2 as it hands each buffer out. */
	q->timestamp_flags = READ_ONCE(cap->cam->knobs.no_timestamps) ? V4L2_BUF_FLAG_TIMESTAMP_UNKNOWN :
									 V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
	cap->held = cap->cam->board->all_nodes_stream && nts_other_node_linked(cap->cam);
	cap->sequence = 0;
	cap->base_ns = ktime_get_ns();
	cap->thread = kthread_run(nts_thread, cap, "nts-cam%d", cap->cam->index);
	if (IS_ERR(cap->thread)) {
		ret = PTR_ERR(cap->thread);
		cap->thread = NULL;
		goto err_stop;
	}
	return 0;

err_stop:
	nts_set_streaming(cap->cam, false);
	video_device_pipeline_stop(&cap->vdev);
err_return:
	nts_return_all(cap, VB2_BUF_STATE_QUEUED);
	return ret;
}

static void nts_stop_streaming(struct vb2_queue *q)
{
	struct nts_capture *cap = vb2_get_drv_priv(q);

	if (cap->thread) {
		kthread_stop(cap->thread);
		cap->thread = NULL;
	}
	nts_set_streaming(cap->cam, false);
	video_device_pipeline_stop(&cap->vdev);
	nts_return_all(cap, VB2_BUF_STATE_ERROR);
}

static const struct vb2_ops nts_qops = {
	.queue_setup = nts_queue_setup,
	.buf_prepare = nts_buf_prepare,
	.buf_queue = nts_buf_queue,
	.start_streaming = nts_start_streaming,
	.stop_streaming = nts_stop_streaming,
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 13, 0)
	.wait_prepare = vb2_ops_wait_prepare,
	.wait_finish = vb2_ops_wait_finish,
#endif
};

/*
 * The link into the node is valid when the source pad delivers what the
 * node is set to receive.
 */
static int nts_capture_link_validate(struct media_link *link)
{
	struct video_device *vdev = media_entity_to_video_device(link->sink->entity);
	struct nts_capture *cap = container_of(vdev, struct nts_capture, vdev);
	struct v4l2_subdev *sd;
	const struct v4l2_mbus_framefmt *src;

	if (!is_media_entity_v4l2_subdev(link->source->entity))
		return -EINVAL;
	sd = media_entity_to_v4l2_subdev(link->source->entity);
	src = &to_nts_subdev(sd)->fmt[link->source->index];
	if (src->width != cap->fmt.width || src->height != cap->fmt.height ||
	    src->code != MEDIA_BUS_FMT_Y12_1X12) {
		dev_dbg(cap->cam->dev, "%s: %ux%u delivered, %ux%u expected\n", vdev->name,
			src->width, src->height, cap->fmt.width, cap->fmt.height);
		return -EPIPE;
	}
	return 0;
}

static const struct media_entity_operations nts_capture_entity_ops = {
	.link_validate = nts_capture_link_validate,
};

int nts_capture_init(struct nts_camera *cam)
{
	struct nts_capture *cap = &cam->cap;
	const struct nts_board *b = cam->board;
	struct video_device *vdev = &cap->vdev;
	struct vb2_queue *q = &cap->queue;
	const struct nts_entity_desc *e = NULL;
	unsigned int i;
	int ret;

	for (i = 0; i < b->num_entities; i++)
		if (b->entities[i].kind == NTS_CAPTURE)
			e = &b->entities[i];
	if (!e)
		return -EINVAL;

	cap->cam = cam;
	mutex_init(&cap->lock);
	spin_lock_init(&cap->qlock);
	INIT_LIST_HEAD(&cap->buffers);
	cap->fmt.width = cam->width;
	cap->fmt.height = cam->height;
	nts_adjust(cam, &cap->fmt);

	q->type = cam->mplane ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
	q->io_modes = VB2_MMAP;
	q->drv_priv = cap;
	q->buf_struct_size = sizeof(struct nts_buffer);
	q->ops = &nts_qops;
	q->mem_ops = &vb2_vmalloc_memops;
	q->timestamp_flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
	q->lock = &cap->lock;
	q->dev = cam->dev;
	ret = vb2_queue_init(q);
	if (ret)
		goto err_mutex;

	cap->pad.flags = MEDIA_PAD_FL_SINK | MEDIA_PAD_FL_MUST_CONNECT;
	vdev->entity.ops = &nts_capture_entity_ops;
	ret = media_entity_pads_init(&vdev->entity, 1, &cap->pad);
	if (ret)
		goto err_queue;

	snprintf(vdev->name, sizeof(vdev->name), e->name, cam->bus, cam->chip_addr);
	vdev->release = video_device_release_empty;
	vdev->fops = &nts_fops;
	vdev->ioctl_ops = cam->mplane ? &nts_ioctl_ops_mp : &nts_ioctl_ops;
	vdev->device_caps = nts_capture_caps(cam);
	vdev->lock = &cap->lock;
	vdev->queue = q;
	vdev->v4l2_dev = &cam->v4l2_dev;
	vdev->vfl_dir = VFL_DIR_RX;
	if (cam->node_centric)
		vdev->ctrl_handler = &cam->sensor.ctrls;
	video_set_drvdata(vdev, cap);
	ret = video_register_device(vdev, VFL_TYPE_VIDEO, -1);
	if (ret)
		goto err_entity;
	return 0;

err_entity:
	media_entity_cleanup(&vdev->entity);
err_queue:
	vb2_queue_release(q);
err_mutex:
	mutex_destroy(&cap->lock);
	cap->cam = NULL;
	return ret;
}

void nts_capture_queue_error(struct nts_capture *cap)
{
	vb2_queue_error(&cap->queue);
}

/* The node goes away under its users: poll answers POLLERR | POLLHUP, ioctls ENODEV. */
void nts_capture_unplug(struct nts_capture *cap)
{
	vb2_video_unregister_device(&cap->vdev);
}

void nts_capture_cleanup(struct nts_capture *cap)
{
	if (!cap->cam)
		return;
	vb2_video_unregister_device(&cap->vdev);
	media_entity_cleanup(&cap->vdev.entity);
	mutex_destroy(&cap->lock);
	cap->cam = NULL;
}

/*
 * The metadata node: a second node of the device that is no video capture
 * node, though the device as a whole captures video.
 */
static int nts_meta_querycap(struct file *file, void *priv, struct v4l2_capability *cap)
{
	struct video_device *vdev = video_devdata(file);

	nts_fill_cap(container_of(vdev, struct nts_camera, meta), vdev, cap);
	return 0;
}

static const struct v4l2_ioctl_ops nts_meta_ioctl_ops = {
	.vidioc_querycap = nts_meta_querycap,
};

static const struct v4l2_file_operations nts_meta_fops = {
	.owner = THIS_MODULE,
	.open = v4l2_fh_open,
	.release = v4l2_fh_release,
	.unlocked_ioctl = video_ioctl2,
};

int nts_meta_init(struct nts_camera *cam)
{
	struct video_device *vdev = &cam->meta;
	int ret;

	strscpy(vdev->name, "embedded-data", sizeof(vdev->name));
	vdev->release = video_device_release_empty;
	vdev->fops = &nts_meta_fops;
	vdev->ioctl_ops = &nts_meta_ioctl_ops;
	vdev->device_caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
	vdev->v4l2_dev = &cam->v4l2_dev;
	vdev->vfl_dir = VFL_DIR_RX;
	ret = media_entity_pads_init(&vdev->entity, 0, NULL);
	if (ret)
		return ret;
	ret = video_register_device(vdev, VFL_TYPE_VIDEO, -1);
	if (ret) {
		media_entity_cleanup(&vdev->entity);
		return ret;
	}
	cam->has_meta = true;
	return 0;
}

void nts_meta_cleanup(struct nts_camera *cam)
{
	if (!cam->has_meta)
		return;
	video_unregister_device(&cam->meta);
	media_entity_cleanup(&cam->meta.entity);
	cam->has_meta = false;
}

/*
 * Another node of the receiver (an embedded-data or second channel node):
 * only its link matters, so it has no queue.
 */
static int nts_other_querycap(struct file *file, void *priv, struct v4l2_capability *cap)
{
	struct video_device *vdev = video_devdata(file);

	nts_fill_cap(container_of(vdev, struct nts_camera, other), vdev, cap);
	return 0;
}

static const struct v4l2_ioctl_ops nts_other_ioctl_ops = {
	.vidioc_querycap = nts_other_querycap,
};

int nts_other_init(struct nts_camera *cam, const char *name)
{
	struct video_device *vdev = &cam->other;
	int ret;

	snprintf(vdev->name, sizeof(vdev->name), name, cam->bus, cam->chip_addr);
	vdev->release = video_device_release_empty;
	vdev->fops = &nts_meta_fops;
	vdev->ioctl_ops = &nts_other_ioctl_ops;
	vdev->device_caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
	vdev->v4l2_dev = &cam->v4l2_dev;
	vdev->vfl_dir = VFL_DIR_RX;
	cam->other_pad.flags = MEDIA_PAD_FL_SINK;
	ret = media_entity_pads_init(&vdev->entity, 1, &cam->other_pad);
	if (ret)
		return ret;
	ret = video_register_device(vdev, VFL_TYPE_VIDEO, -1);
	if (ret) {
		media_entity_cleanup(&vdev->entity);
		return ret;
	}
	cam->has_other = true;
	return 0;
}

void nts_other_cleanup(struct nts_camera *cam)
{
	if (!cam->has_other)
		return;
	video_unregister_device(&cam->other);
	media_entity_cleanup(&cam->other.entity);
	cam->has_other = false;
}
