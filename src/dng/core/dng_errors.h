// Error codes carried by dng_exception. Zero means success; every failure of
// the DNG library is one of these codes.
#pragma once

#include "dng/core/dng_types.h"

typedef int32 dng_error_code;

enum : dng_error_code {
    dng_error_none = 0,
    dng_error_unknown = 100000,
    dng_error_not_yet_implemented = 100001,
    dng_error_silent = 100002,
    dng_error_user_canceled = 100003,
    dng_error_host_insufficient = 100004,
    dng_error_memory = 100005,
    dng_error_bad_format = 100006,
    dng_error_matrix_math = 100007,
    dng_error_open_file = 100008,
    dng_error_read_file = 100009,
    dng_error_write_file = 100010,
    dng_error_end_of_file = 100011,
    dng_error_file_is_damaged = 100012,
    dng_error_image_too_big_dng = 100013,
    dng_error_image_too_big_tiff = 100014,
    dng_error_unsupported_dng = 100015,
    dng_error_overflow = 100016
};
