#pragma once

// The slide show's memory, kept in the viewer's form-level data so that a
// random cycle goes on across closing and reopening the viewer.
struct SlideShowData {};
