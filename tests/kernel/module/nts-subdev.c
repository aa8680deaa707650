// SPDX-License-Identifier: GPL-2.0
/*
 * The sensor sub-device (one source pad, discrete sizes, crop, controls)
 * and the receiver sub-device (sink pad 0, source pads following it).
 */
#include <media/v4l2-common.h>

#include "nts.h"

/* What the sensor offers: its phase frames, and the VGA captures. */
static const struct nts_size nts_sizes[] = {
	{ 240, 180 }, { 320, 240 }, { 320, 1205 }, { 320, 2410 },
	{ 640, 480 }, { 640, 2405 }, { 640, 4810 },
};


static struct v4l2_mbus_framefmt *nts_try_fmt(struct v4l2_subdev *sd,
					      struct v4l2_subdev_state *state,
					      unsigned int pad)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 8, 0)
	return v4l2_subdev_state_get_format(state, pad);
#else
	return v4l2_subdev_get_try_format(sd, state, pad);
#endif
}

static struct v4l2_rect *nts_try_crop(struct v4l2_subdev *sd,
				      struct v4l2_subdev_state *state,
				      unsigned int pad)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 8, 0)
	return v4l2_subdev_state_get_crop(state, pad);
#else
	return v4l2_subdev_get_try_crop(sd, state, pad);
#endif
}

static void nts_default_fmt(struct v4l2_mbus_framefmt *f, u32 w, u32 h)
{
	memset(f, 0, sizeof(*f));
	f->width = w;
	f->height = h;
	f->code = MEDIA_BUS_FMT_Y12_1X12;
	f->field = V4L2_FIELD_NONE;
	f->colorspace = V4L2_COLORSPACE_RAW;
}

static struct v4l2_mbus_framefmt *nts_fmt(struct nts_subdev *s,
					  struct v4l2_subdev_state *state,
					  u32 which, unsigned int pad)
{
	if (which == V4L2_SUBDEV_FORMAT_TRY)
		return nts_try_fmt(&s->sd, state, pad);
	return &s->fmt[pad];
}

/* A new file handle's TRY formats start at the driver's defaults. */
static int nts_init_state(struct v4l2_subdev *sd, struct v4l2_subdev_state *state)
{
	struct nts_subdev *s = to_nts_subdev(sd);
	unsigned int pad;

	for (pad = 0; pad < sd->entity.num_pads; pad++) {
		struct v4l2_mbus_framefmt *f = nts_try_fmt(sd, state, pad);

		/* The sensor's default is its size at power-up. */
		if (s == &s->cam->sensor)
			nts_default_fmt(f, s->default_size->width, s->default_size->height);
		else
			nts_default_fmt(f, 640, 480);
		if (s == &s->cam->sensor) {
			struct v4l2_rect *c = nts_try_crop(sd, state, pad);

			*c = (struct v4l2_rect){ 0, 0, f->width, f->height };
		}
	}
	return 0;
}

static int nts_enum_mbus_code(struct v4l2_subdev *sd, struct v4l2_subdev_state *state,
			      struct v4l2_subdev_mbus_code_enum *code)
{
	if (code->index > 0)
		return -EINVAL;
	code->code = MEDIA_BUS_FMT_Y12_1X12;
	return 0;
}

static int nts_get_fmt(struct v4l2_subdev *sd, struct v4l2_subdev_state *state,
		       struct v4l2_subdev_format *fmt)
{
	struct nts_subdev *s = to_nts_subdev(sd);

	if (fmt->pad >= sd->entity.num_pads)
		return -EINVAL;
	fmt->format = *nts_fmt(s, state, fmt->which, fmt->pad);
	return 0;
}

/* Sensor */

static int nts_sensor_enum_frame_size(struct v4l2_subdev *sd, struct v4l2_subdev_state *state,
				      struct v4l2_subdev_frame_size_enum *fse)
{
	if (fse->index >= ARRAY_SIZE(nts_sizes) || fse->code != MEDIA_BUS_FMT_Y12_1X12)
		return -EINVAL;
	fse->min_width = fse->max_width = nts_sizes[fse->index].width;
	fse->min_height = fse->max_height = nts_sizes[fse->index].height;
	return 0;
}

static int nts_sensor_set_fmt(struct v4l2_subdev *sd, struct v4l2_subdev_state *state,
			      struct v4l2_subdev_format *fmt)
{
	struct nts_subdev *s = to_nts_subdev(sd);
	const struct nts_size *size;
	struct v4l2_mbus_framefmt *f;

	if (fmt->pad != 0)
		return -EINVAL;
	if (fmt->which == V4L2_SUBDEV_FORMAT_ACTIVE && s->streaming)
		return -EBUSY;
	size = v4l2_find_nearest_size(nts_sizes, ARRAY_SIZE(nts_sizes), width, height,
				      fmt->format.width, fmt->format.height);
	f = nts_fmt(s, state, fmt->which, 0);
	nts_default_fmt(f, size->width, size->height);
	fmt->format = *f;
	if (fmt->which == V4L2_SUBDEV_FORMAT_TRY)
		*nts_try_crop(sd, state, 0) = (struct v4l2_rect){ 0, 0, f->width, f->height };
	else
		s->crop = (struct v4l2_rect){ 0, 0, f->width, f->height };
	return 0;
}

static int nts_sensor_get_selection(struct v4l2_subdev *sd, struct v4l2_subdev_state *state,
				    struct v4l2_subdev_selection *sel)
{
	struct nts_subdev *s = to_nts_subdev(sd);
	const struct v4l2_mbus_framefmt *f;

	if (sel->pad != 0)
		return -EINVAL;
	f = nts_fmt(s, state, sel->which, 0);
	switch (sel->target) {
	case V4L2_SEL_TGT_CROP:
		sel->r = sel->which == V4L2_SUBDEV_FORMAT_TRY ? *nts_try_crop(sd, state, 0) : s->crop;
		return 0;
	case V4L2_SEL_TGT_CROP_DEFAULT:
	case V4L2_SEL_TGT_CROP_BOUNDS:
	case V4L2_SEL_TGT_NATIVE_SIZE:
		sel->r = (struct v4l2_rect){ 0, 0, f->width, f->height };
		return 0;
	default:
		return -EINVAL;
	}
}

static int nts_sensor_set_selection(struct v4l2_subdev *sd, struct v4l2_subdev_state *state,
				    struct v4l2_subdev_selection *sel)
{
	struct nts_subdev *s = to_nts_subdev(sd);
	const struct v4l2_mbus_framefmt *f;
	struct v4l2_rect *crop;

	if (sel->pad != 0 || sel->target != V4L2_SEL_TGT_CROP)
		return -EINVAL;
	if (sel->which == V4L2_SUBDEV_FORMAT_ACTIVE && s->streaming)
		return -EBUSY;
	f = nts_fmt(s, state, sel->which, 0);
	sel->r.left = clamp_t(s32, sel->r.left, 0, f->width - 1);
	sel->r.top = clamp_t(s32, sel->r.top, 0, f->height - 1);
	sel->r.width = clamp_t(u32, sel->r.width, 1, f->width - sel->r.left);
	sel->r.height = clamp_t(u32, sel->r.height, 1, f->height - sel->r.top);
	crop = sel->which == V4L2_SUBDEV_FORMAT_TRY ? nts_try_crop(sd, state, 0) : &s->crop;
	*crop = sel->r;
	return 0;
}

static int nts_sensor_s_ctrl(struct v4l2_ctrl *ctrl)
{
	return 0; /* the value is kept by the control framework */
}

static const struct v4l2_ctrl_ops nts_ctrl_ops = {
	.s_ctrl = nts_sensor_s_ctrl,
};

static const struct v4l2_ctrl_config nts_range_ctrl = {
	.ops = &nts_ctrl_ops,
	.id = NTS_CID_RANGE,
	.name = "Range Mode",
	.type = V4L2_CTRL_TYPE_INTEGER,
	.min = 0,
	.max = 1,
	.step = 1,
	.def = 0,
};

static const struct v4l2_subdev_pad_ops nts_sensor_pad_ops = {
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 8, 0)
	.init_cfg = nts_init_state,
#endif
	.enum_mbus_code = nts_enum_mbus_code,
	.enum_frame_size = nts_sensor_enum_frame_size,
	.get_fmt = nts_get_fmt,
	.set_fmt = nts_sensor_set_fmt,
	.get_selection = nts_sensor_get_selection,
	.set_selection = nts_sensor_set_selection,
};

static const struct v4l2_subdev_ops nts_sensor_ops = {
	.pad = &nts_sensor_pad_ops,
};

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 8, 0)
static const struct v4l2_subdev_internal_ops nts_internal_ops = {
	.init_state = nts_init_state,
};
#endif

static int nts_subdev_register(struct nts_camera *cam, struct nts_subdev *s,
			       const struct v4l2_subdev_ops *ops, u32 function,
			       const char *name, unsigned int num_pads)
{
	int ret;

	v4l2_subdev_init(&s->sd, ops);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 8, 0)
	s->sd.internal_ops = &nts_internal_ops;
#endif
	s->sd.flags |= V4L2_SUBDEV_FL_HAS_DEVNODE;
	s->sd.owner = THIS_MODULE;
	s->sd.dev = cam->dev;
	s->sd.entity.function = function;
	strscpy(s->sd.name, name, sizeof(s->sd.name));
	v4l2_set_subdevdata(&s->sd, s);
	ret = media_entity_pads_init(&s->sd.entity, num_pads, s->pads);
	if (ret)
		return ret;
	ret = v4l2_device_register_subdev(&cam->v4l2_dev, &s->sd);
	if (ret) {
		media_entity_cleanup(&s->sd.entity);
		return ret;
	}
	s->cam = cam;
	return 0;
}

int nts_sensor_init(struct nts_camera *cam, u32 width, u32 height)
{
	struct nts_subdev *s = &cam->sensor;
	const struct nts_entity_desc *e = NULL;
	const struct nts_size *size;
	char name[sizeof_field(struct v4l2_subdev, name)];
	unsigned int i;
	int ret;

	for (i = 0; i < cam->board->num_entities; i++)
		if (cam->board->entities[i].kind == NTS_SENSOR)
			e = &cam->board->entities[i];
	if (!e)
		return -EINVAL;

	v4l2_ctrl_handler_init(&s->ctrls, 2);
	v4l2_ctrl_new_std(&s->ctrls, &nts_ctrl_ops, V4L2_CID_EXPOSURE, 1, 65535, 1, 1000);
	v4l2_ctrl_new_custom(&s->ctrls, &nts_range_ctrl, NULL);
	if (s->ctrls.error) {
		ret = s->ctrls.error;
		goto err_ctrls;
	}
	s->sd.ctrl_handler = &s->ctrls;

	size = v4l2_find_nearest_size(nts_sizes, ARRAY_SIZE(nts_sizes), width, height,
				      width, height);
	s->default_size = size;
	nts_default_fmt(&s->fmt[0], size->width, size->height);
	s->crop = (struct v4l2_rect){ 0, 0, size->width, size->height };
	s->pads[0].flags = MEDIA_PAD_FL_SOURCE;
	snprintf(name, sizeof(name), e->name, cam->bus, cam->chip_addr);
	ret = nts_subdev_register(cam, s, &nts_sensor_ops, MEDIA_ENT_F_CAM_SENSOR, name, 1);
	if (ret)
		goto err_ctrls;
	return 0;

err_ctrls:
	v4l2_ctrl_handler_free(&s->ctrls);
	return ret;
}

/* The sensor's size nearest to a request. */
void nts_sensor_nearest_size(u32 *width, u32 *height)
{
	const struct nts_size *size = v4l2_find_nearest_size(nts_sizes, ARRAY_SIZE(nts_sizes),
							     width, height, *width, *height);

	*width = size->width;
	*height = size->height;
}

/* A video node that drives the sensor sets its ACTIVE format. */
void nts_sensor_set_active(struct nts_subdev *s, u32 width, u32 height)
{
	nts_default_fmt(&s->fmt[0], width, height);
	s->crop = (struct v4l2_rect){ 0, 0, width, height };
}

/* Receiver */

static int nts_receiver_set_fmt(struct v4l2_subdev *sd, struct v4l2_subdev_state *state,
				struct v4l2_subdev_format *fmt)
{
	struct nts_subdev *s = to_nts_subdev(sd);
	struct v4l2_mbus_framefmt *f;
	unsigned int pad;

	if (fmt->pad >= sd->entity.num_pads)
		return -EINVAL;
	/* Source pads carry what the sink receives. */
	if (fmt->pad != 0) {
		fmt->format = *nts_fmt(s, state, fmt->which, fmt->pad);
		return 0;
	}
	if (fmt->which == V4L2_SUBDEV_FORMAT_ACTIVE && s->streaming)
		return -EBUSY;
	f = nts_fmt(s, state, fmt->which, 0);
	nts_default_fmt(f, clamp_t(u32, fmt->format.width, NTS_MIN_SIZE, NTS_MAX_SIZE),
			clamp_t(u32, fmt->format.height, NTS_MIN_SIZE, NTS_MAX_SIZE));
	for (pad = 1; pad < sd->entity.num_pads; pad++)
		*nts_fmt(s, state, fmt->which, pad) = *f;
	fmt->format = *f;
	return 0;
}

static const struct v4l2_subdev_pad_ops nts_receiver_pad_ops = {
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 8, 0)
	.init_cfg = nts_init_state,
#endif
	.enum_mbus_code = nts_enum_mbus_code,
	.get_fmt = nts_get_fmt,
	.set_fmt = nts_receiver_set_fmt,
	.link_validate = v4l2_subdev_link_validate_default,
};

static const struct v4l2_subdev_ops nts_receiver_ops = {
	.pad = &nts_receiver_pad_ops,
};

static const struct media_entity_operations nts_receiver_entity_ops = {
	.link_validate = v4l2_subdev_link_validate,
};

int nts_receiver_init(struct nts_camera *cam)
{
	struct nts_subdev *s = &cam->receiver;
	const struct nts_entity_desc *e = NULL;
	char name[sizeof_field(struct v4l2_subdev, name)];
	unsigned int i, pads;

	for (i = 0; i < cam->board->num_entities; i++)
		if (cam->board->entities[i].kind == NTS_RECEIVER)
			e = &cam->board->entities[i];
	if (!e)
		return -EINVAL;
	pads = 1 + e->source_pads;
	/* Until configured it expects another sensor's frames. */
	for (i = 0; i < pads; i++) {
		nts_default_fmt(&s->fmt[i], 640, 480);
		s->pads[i].flags = i ? MEDIA_PAD_FL_SOURCE : MEDIA_PAD_FL_SINK;
	}
	s->sd.entity.ops = &nts_receiver_entity_ops;
	snprintf(name, sizeof(name), e->name, cam->bus, cam->chip_addr);
	return nts_subdev_register(cam, s, &nts_receiver_ops, MEDIA_ENT_F_VID_IF_BRIDGE, name, pads);
}

void nts_subdev_cleanup(struct nts_subdev *s)
{
	if (!s->cam)
		return;
	v4l2_device_unregister_subdev(&s->sd);
	media_entity_cleanup(&s->sd.entity);
	if (s->sd.ctrl_handler)
		v4l2_ctrl_handler_free(s->sd.ctrl_handler);
	s->cam = NULL;
}
