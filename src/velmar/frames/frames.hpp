// C layout of the frame objects of velmar.frames.frames. Every frame starts
// with FrameObject; ENU adds its geodetic origin.
#pragma once
#include "velmar/_native/ref.hpp"

namespace velmar {

struct FrameObject {
    PyObject_HEAD PyObject* name;  // str, never NULL once constructed
};

struct ENUObject {
    FrameObject base;
    double lat;  // geodetic latitude of the origin, rad
    double lon;  // longitude of the origin, rad
    double alt;  // height of the origin above the ellipsoid, m
};

}  // namespace velmar
