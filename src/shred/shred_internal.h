#pragma once

// The shredding walk's declarations live in the public header shredder/shredding.h. This
// name is kept only for modifiers/tagger_internal.h until it includes that header itself.
#include "shredder/shredding.h"
