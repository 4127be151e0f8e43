// TaskEnded's meta-object is made from the header.
#include "platform/TaskLimit.h"
