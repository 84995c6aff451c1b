// The body of vantor_lacet.former, and the two records it defines.
#pragma once

#include "module_state.hpp"

namespace lacet {

// Runs the body of vantor_lacet.former into its namespace (st->former_dict), in the order of its
// globals: the imports, logger, constants, records and the extension class.
int populate_former(State* st, PyObject* package);

// LacetConfig and LacetIngestResult: classes built at import and turned
// into standard-library dataclasses.
OwnedRef make_config_record(State* st);
OwnedRef make_result_record(State* st);

}  // namespace lacet
