/* What a test vendor library was asked: each call appends the function's
 * name, one a line, to the file $FAKE_VENDOR_LOG names (nothing when unset). */
#pragma once

__attribute__((visibility("hidden"))) void fake_record(const char* name);
