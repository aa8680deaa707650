// Kernel interface values missing from older UAPI headers, defined from
// their published values.
#pragma once

#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')  // 12-bit grey, packed
#endif
#ifndef MEDIA_BUS_FMT_Y12_1X12
#define MEDIA_BUS_FMT_Y12_1X12 0x2013
#endif
#ifndef V4L2_CAP_VIDEO_CAPTURE_MPLANE
#define V4L2_CAP_VIDEO_CAPTURE_MPLANE 0x00001000
#endif
#ifndef V4L2_CAP_DEVICE_CAPS
#define V4L2_CAP_DEVICE_CAPS 0x80000000
#endif
#ifndef MEDIA_ENT_ID_FLAG_NEXT
#define MEDIA_ENT_ID_FLAG_NEXT (1U << 31)
#endif
#ifndef V4L2_CAP_IO_MC
#define V4L2_CAP_IO_MC 0x20000000
#endif
#ifndef MEDIA_ENT_F_IO_V4L
#define MEDIA_ENT_F_IO_V4L 0x00010001
#endif
#ifndef VIDIOC_SUBDEV_QUERYCAP
struct v4l2_subdev_capability {
    __u32 version;
    __u32 capabilities;
    __u32 reserved[14];
};
#define VIDIOC_SUBDEV_QUERYCAP _IOR('V', 0, struct v4l2_subdev_capability)
#endif
#ifndef V4L2_SUBDEV_CAP_RO_SUBDEV
#define V4L2_SUBDEV_CAP_RO_SUBDEV 0x00000001
#endif
