// The layout check that turns on the direct reads of instance attributes
// (compat::instance_value) for the process.
#pragma once

namespace lacet {

// Compares the direct reads with the generic path on objects of classes made
// for the purpose, in every state an instance dict can be in, and turns the
// reads on only when they all agree (or off, when the environment variable
// VANTOR_LACET_GENERIC_ATTRIBUTES is set to a non-empty value). 0, or -1
// with an exception set when an object could not be made.
int check_instance_layout();

}  // namespace lacet
