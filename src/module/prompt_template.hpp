// The Python class PromptTemplate: the fragments of one parsed template
// beside a tokenizer object that is only kept, never called.
#pragma once

#include "binding/python.hpp"

namespace frasolet {

PyTypeObject* prompt_template_type();

}  // namespace frasolet
