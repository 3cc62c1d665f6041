// Owning pointers for the C records: each frees with the record's own free
// function.  Wrap a record the moment it arrives.
#ifndef ZPM_RECPTR_H
#define ZPM_RECPTR_H

#include <memory>

#include "arr.h"
#include "cres.h"
#include "ekva.h"
#include "zpk.h"
#include "zpm.h"

using ZpiPtr = std::unique_ptr<ZPI, c_deleter<zpk_info_free>>;
using EkvaPtr = std::unique_ptr<s_ekva *, c_deleter<ekva_free>>;
using ArrPtr = std::unique_ptr<char *, c_deleter<arr_free>>;

#endif
