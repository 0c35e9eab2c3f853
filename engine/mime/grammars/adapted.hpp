// The value types as Fusion sequences, so grammars can fill them.
#pragma once

#include <boost/fusion/include/adapt_struct.hpp>

#include "../types.hpp"

BOOST_FUSION_ADAPT_STRUCT(quorvane::engine::mime::media_type, type, subtype)
BOOST_FUSION_ADAPT_STRUCT(quorvane::engine::mime::key_value_type, name, value)
