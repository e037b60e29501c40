// The Python class PromptTemplate: the fragments of one parsed template
// beside a tokenizer object that is only kept, never called.
#pragma once

#include "binding/class_object.hpp"

namespace frasolet {

// What the class object is made from, once per interpreter.
const binding::ClassSpec& prompt_template_spec() noexcept;

}  // namespace frasolet
