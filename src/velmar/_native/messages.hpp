// Every fixed message text of the package. The host-style texts reproduce
// what CPython and Cython-generated code print, so users see familiar errors.
#pragma once

namespace velmar::msg {

// Argument binding
inline constexpr const char* arg_count = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char* unexpected_keyword = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* keywords_must_be_strings = "%.200s() keywords must be strings";
inline constexpr const char* keyword_given_twice = "%s() got multiple values for keyword argument '%U'";
inline constexpr const char* missing_keyword_only = "%s() needs keyword-only argument %U";
inline constexpr const char* no_keywords = "%.200s() takes no keyword arguments";
inline constexpr const char* incorrect_type = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr const char* cannot_convert = "Cannot convert %.200s to %.200s";
inline constexpr const char* integer_required = "an integer is required";

// Buffers
inline constexpr const char* buffer_ndim = "Buffer has wrong number of dimensions (expected %d, got %d)";
inline constexpr const char* buffer_dtype = "Buffer dtype mismatch, expected %s%s%s but got %s";
inline constexpr const char* buffer_itemsize =
    "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)";
inline constexpr const char* buffer_big_endian = "Big-endian buffer not supported on little-endian compiler";
inline constexpr const char* buffer_length = "%.200s: expected %zd elements along axis %d, got %zd";

// Module loading
inline constexpr const char* interpreter_change =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
inline constexpr const char* reinitialisation =
    "Module '%s' has already been imported. Re-initialisation is not supported.";

// Native exports between modules
inline constexpr const char* capi_missing_module = "velmar: module '%s' has no native exports (__capi__)";
inline constexpr const char* capi_missing_name = "velmar: module '%s' does not export '%s' natively";
inline constexpr const char* capi_wrong_signature = "velmar: '%s' of module '%s' has signature '%s', expected '%s'";
inline constexpr const char* capi_not_a_type = "velmar: '%s.%s' is not a type";
inline constexpr const char* capi_type_size =
    "velmar: '%s.%s' has basic size %zd, expected at least %zd (modules built from different sources?)";

// Pickling
inline constexpr const char* no_default_reduce = "no default __reduce__ due to non-trivial __cinit__";

// Objects fixed at construction
inline constexpr const char* already_initialised =
    "%.200s object is already initialised; __init__ cannot be called again";

// Deletion refused
inline constexpr const char* no_delete = "__del__";

// State and ephemeris conversions that return the wrong thing, and ephemerides
// whose arrays do not match their size (Keplerian)
inline constexpr const char* conversion_result = "%.200s.%.200s() returned %.200s, expected %.200s";
inline constexpr const char* ephemeris_array_unset = "%.200s has no %s array set";
inline constexpr const char* ephemeris_size_rows = "eph.size is %zd but its position array has %zd rows";
inline constexpr const char* ephemeris_size_changed = "eph.size changed from %zd to %zd while it was read";

// Methods made with function.hpp, called through the class without a proper self
inline constexpr const char* unbound_needs_argument = "unbound method %.200s() needs an argument";
inline constexpr const char* descriptor_wrong_self =
    "descriptor '%.200s' for '%.200s' objects doesn't apply to a '%.200s' object";

// Operations a propagator class does not provide (Propagator base)
inline constexpr const char* not_implemented_by = "%U does not implement %s";
inline constexpr const char* no_force_model = "%U has no force model (%s is not implemented)";

// Frames
inline constexpr const char* frame_name_empty = "Frame name must not be empty";
inline constexpr const char* enu_origin_not_finite = "ENU origin '%s' must be finite, got %R";
inline constexpr const char* enu_latitude_range = "ENU latitude must lie in [-pi/2, pi/2] rad, got %R";

// Ellipsoids
inline constexpr const char* ellipsoid_axis = "Ellipsoid semi-major axis 'a' must be finite and positive (m), got %R";
inline constexpr const char* ellipsoid_flattening = "Ellipsoid flattening 'f' must lie in [0, 1), got %R";

// Printed forms
inline constexpr const char* must_return_str = "%.200s.%s() must return str, not %.200s";
inline constexpr const char* frame_column_not_dict = "column %R of data must be a dict of label to text, got %.200s";

// Element sets
inline constexpr const char* int_overflow = "value too large to convert to int";
inline constexpr const char* elset_not_built = "the ELSET was not built by its constructor";
inline constexpr const char* pairs_running = "ELSET.pairwise() iterator already executing";
inline constexpr const char* list_index_out_of_range = "list index out of range";
inline constexpr const char* unencodable_line = "unencodable line";

// States and ephemerides
inline constexpr const char* ephemeris_length_mismatch = "%s has %zd %s but time holds %zd epochs";
inline constexpr const char* index_out_of_range = "%U index out of range";
inline constexpr const char* no_to_sv = "%U does not implement to_sv()";
inline constexpr const char* negative_eccentricities = "ecc must be >= 0 (eccentricities), got %R at index %zd";
inline constexpr const char* epoch_not_scalar = "epoch must be a single epoch, got a Time of shape %S";
inline constexpr const char* negative_eccentricity = "ecc must be >= 0 (an eccentricity), got %R";
inline constexpr const char* array_not_real = "%s must hold real numbers (float64), got dtype %S";
inline constexpr const char* array_shape = "%s must have shape %s, got shape %S";
inline constexpr const char* gm_not_positive = "GM must be a positive finite gravitational parameter (m^3/s^2), got %R";
inline constexpr const char* earth_fixed_elements =
    "%s.to_coe(): osculating elements are defined in an inertial frame; %R is Earth-fixed "
    "(take the state to GCRF or TEME first, e.g. to_frame(GCRF))";
inline constexpr const char* elliptic_sma =
    "sma must be positive for an elliptic orbit (ecc < 1), got sma=%R with ecc=%R";
inline constexpr const char* hyperbolic_sma =
    "sma must be negative for a hyperbolic orbit (ecc > 1), got sma=%R with ecc=%R";
inline constexpr const char* elliptic_sma_at =
    "sma must be positive for an elliptic orbit (ecc < 1), got sma=%R with ecc=%R at index %zd";
inline constexpr const char* hyperbolic_sma_at =
    "sma must be negative for a hyperbolic orbit (ecc > 1), got sma=%R with ecc=%R at index %zd";

// Earth orientation
inline constexpr const char* eop_unknown_slot = "velmar.iers.eop: unknown interpolator slot";
inline constexpr const char* eop_epochs_none =
    "Argument '%s' must be a one-dimensional float64 numpy array of MJD (%s) epochs, not None";
inline constexpr const char* eop_result_size = "EOP.%U gave %zd values for %zd epochs";
inline constexpr const char* eop_epochs_changed = "the epochs changed while EOP.%U was evaluated";
inline constexpr const char* elset_members_changed = "the members of an ELSET changed while it was built";

// Function objects
inline constexpr const char* annotations_not_dict = "__annotations__ must be set to a dict object";

// Geodetic coordinates, topocentric coordinates and sunlight
inline constexpr const char* geodetic_too_many_dimensions = "lat, lon and alt have too many dimensions (%d)";
inline constexpr const char* sun_position_time = "sun_position(): the Time holds no one-dimensional int64 epochs";
inline constexpr const char* latitude_range = "lat must lie in [-pi/2, pi/2] rad, got %R at index %zd";
inline constexpr const char* latitude_range_one = "lat must lie in [-pi/2, pi/2] rad, got %R";
inline constexpr const char* geodetic_records =
    "geodetic_to_itrf() takes lat, lon and alt, or one record array with fields 'lat', 'lon' and 'alt' "
    "(got %.200s)";
inline constexpr const char* rows_differ = "%s has %zd rows but %s has %zd";
inline constexpr const char* radius_not_positive = "%s must be a positive finite radius (m), got %R";
inline constexpr const char* record_layout = "velmar: %s does not have the record layout %s";
inline constexpr const char* look_geometry_shapes =
    "_look_geometry(): %zd epochs, %zd and %zd states, %zd rates, %zd and %zd station rows";
inline constexpr const char* look_geometry_row =
    "_look_geometry(): the station rows must be a positive time apart, got %R";
inline constexpr const char* geodetic_frame =
    "%.200s.to_sv(): geodetic coordinates are Earth-fixed, so the frame "
    "must be ITRF, got %R";

// Frame transformations (the velmar.frames.transforms: texts are for its
// private helpers, which only the package calls)
inline constexpr const char* transforms_epochs_results = "velmar.frames.transforms: %zd epochs for %zd results";
inline constexpr const char* transforms_two_samples =
    "velmar.frames.transforms: an interpolator needs 2 samples, got %zd";
inline constexpr const char* transforms_cubic_shape =
    "velmar.frames.transforms: cubic coefficients of shape (%zd, %zd) for %zd samples";
inline constexpr const char* transforms_values_samples = "velmar.frames.transforms: %zd values for %zd samples";
inline constexpr const char* transforms_ut1_rows_lengths =
    "velmar.frames.transforms: _ut1_rows arrays of different lengths";
inline constexpr const char* transforms_not_array = "velmar.frames.transforms: %s is not an array";
inline constexpr const char* transforms_wrong_layout = "velmar.frames.transforms: %s has the wrong layout";
inline constexpr const char* transforms_prepare_result =
    "velmar.frames.transforms: prepare returned an unexpected value";
inline constexpr const char* transform_frame = "transform() %s must be one of TEME, ITRF, GCRF, got %R";

// Time: what it cannot read, the epochs and spans it cannot hold, and its operations
inline constexpr const char* time_accepted =
    "expected ISO 8601 text, a datetime.datetime or datetime.date, a numpy datetime64, a Time, a sequence "
    "of these, a one-dimensional int64 array of nanoseconds, or numbers with format='jd' or format='mjd'";
inline constexpr const char* time_not_iso =
    "expected ISO 8601 text such as '2024', '2024-03-01' or '2024-03-01T12:30:15.25Z'";
// Every int64 is an epoch, and every epoch can be read back from its text:
// the range is that of int64 nanoseconds around 2000, on the TAI scale.
inline constexpr const char* time_outside_range =
    "outside the epochs a Time can hold (1707-09-22T12:12:43.145224192 to 2292-04-11T11:47:16.854775807 TAI)";
// What a span too wide to add is. Epochs lie up to 2^64 ns apart, so it is
// the width of the span, not the distance between epochs, that is named.
inline constexpr const char* time_span_too_wide =
    "beyond the spans a Time adds or subtracts (int64 nanoseconds: about 9.2e9 s, 292 years, either way)";
inline constexpr const char* time_wrong_type = "Time cannot read a value of type '%.200s': %s";
inline constexpr const char* time_cannot_read = "Time cannot read %R: %s";
inline constexpr const char* time_aware_datetime =
    "Time cannot read %R on the %s scale: a datetime with a time zone is a UTC time";
inline constexpr const char* time_nat = "Time cannot read %R: NaT (not a time) is not an epoch";
inline constexpr const char* time_datetime64_no_unit =
    "Time cannot read %R: a datetime64 without a unit is not an epoch";
inline constexpr const char* time_array_ndim =
    "Time holds a one-dimensional array of epochs, not an array of %d dimensions";
inline constexpr const char* time_array_needs_format =
    "Time cannot read a numpy array of dtype %S without a format: give format='jd' or "
    "format='mjd' for Julian dates, or pass int64 nanoseconds or datetime64 values";
inline constexpr const char* time_julian_unreadable = "Time cannot read the %s %R: %s";
inline constexpr const char* time_not_finite_number = "not a finite number";
inline constexpr const char* time_julian_dtype =
    "Time cannot read an array of dtype %S as Julian dates: expected numbers";
inline constexpr const char* time_seconds_span = "%R seconds is %s";
inline constexpr const char* time_seconds_not_finite = "%R seconds is not a finite span";
inline constexpr const char* time_timedelta_span = "%R is %s";
inline constexpr const char* time_not_fixed_span = "%R is not a span of a fixed number of seconds";
inline constexpr const char* time_scale = "scale must be 'utc', 'tai' or 'tt', not %R";
inline constexpr const char* time_format = "format must be 'jd', 'mjd' or None, not %R";
inline constexpr const char* time_operand_sizes =
    "operands hold %zd and %zd epochs; they must match or one must be single";
inline constexpr const char* time_unhashable = "unhashable type: a Time holding an array of epochs";
inline constexpr const char* time_sum_outside = "%R %s %R is %s";
inline constexpr const char* time_single_has_no = "a Time holding one epoch has no %s";
inline constexpr const char* time_index_range = "index %zd is out of range for a Time of %zd epochs";
inline constexpr const char* time_index_shape = "indexing a Time must give one epoch or a one-dimensional array";
inline constexpr const char* time_not_int64 = "%R is not an int64, so not an epoch a Time can hold";
inline constexpr const char* time_from_int64_type =
    "_from_int64() expects an int or a one-dimensional int64 array, not '%.200s'";
inline constexpr const char* time_clock_outside = "the system clock reads %lld ns since 1970, %s";
inline constexpr const char* time_scale_number = "no time scale numbered %d";
inline constexpr const char* time_month_range = "the month is out of range (1 to 12)";
inline constexpr const char* time_day_range = "the day is out of range for the month";
inline constexpr const char* time_hour_range = "the hour is out of range (0 to 23)";
inline constexpr const char* time_minute_range = "the minute is out of range (0 to 59)";
inline constexpr const char* time_second_range = "the second is out of range (0 to 59, or 60 in a leap second)";
inline constexpr const char* time_scale_no_leap_seconds = "Time cannot read %R: the %s scale has no leap seconds";
inline constexpr const char* time_leap_second_place = "a leap second can only be 23:59:60, the last second of a day";
inline constexpr const char* time_day_no_leap_second =
    "Time cannot read %R: %s has no leap second (per the packaged leap-second table)";
// The leap-second table as Time reads it from velmar.iers.bulletins
inline constexpr const char* leap_table_gave = "velmar.iers.bulletins.leap_second_table() gave %s";
inline constexpr const char* leap_table_not_pair = "something other than a pair (mjd_utc, dat)";
inline constexpr const char* leap_table_lengths = "arrays of different lengths";
inline constexpr const char* leap_table_step =
    "a step that is not a whole day near the present with a plausible TAI-UTC";
inline constexpr const char* leap_table_order = "days out of order";

// Array kernels and the native ephemeris constructors
inline constexpr const char* isa_unknown = "%R is not an instruction set this processor runs the array forms on";
inline constexpr const char* native_ephemeris_arguments =
    "native ephemeris constructor: time must be a Time and frame a Frame";
inline constexpr const char* native_ephemeris_array =
    "native ephemeris constructor: %s is not an array over fixed memory";

}  // namespace velmar::msg
