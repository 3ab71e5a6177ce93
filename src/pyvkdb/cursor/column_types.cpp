// The type-name table of the description.
#include "cursor/column_types.h"

#include "client/client.h"

namespace vk {

ColumnTypeInfo column_type_info(int32_t type_code, int32_t raw_size) {
  switch (type_code) {
    case VESK_TYPE_NULL: return {"NULL", 0, 0};
    case VESK_TYPE_BOOLEAN: return {"BOOLEAN", 1, 0};
    case VESK_TYPE_VARCHAR: return {"VARCHAR", raw_size == -1 ? 65535 : raw_size, 0};
    case VESK_TYPE_TINYINT: return {"TINYINT", 1, 0};
    case VESK_TYPE_SMALLINT: return {"SMALLINT", 2, 0};
    case VESK_TYPE_INTEGER: return {"INTEGER", 4, 0};
    case VESK_TYPE_BIGINT: return {"BIGINT", 8, 0};
    case VESK_TYPE_FLOAT: return {"FLOAT", 4, 0};
    case VESK_TYPE_DOUBLE: return {"DOUBLE", 8, 0};
    case VESK_TYPE_NUMERIC:
      // precision in the upper 16 bits (sign kept); the scale as the
      // remainder of a signed division by 16.
      return {"NUMERIC", raw_size >> 16, raw_size % 16};
    case VESK_TYPE_DATE: return {"DATE", 3, 0};
    case VESK_TYPE_TIME:
    case VESK_TYPE_TIME_TZ: return {"TIME", raw_size, 0};
    case VESK_TYPE_DATETIME:
    case VESK_TYPE_DATETIME_TZ:
    case VESK_TYPE_DATETIME_MS: return {"DATETIME", raw_size, 0};
    case VESK_TYPE_BINARY:
    case VESK_TYPE_VARBINARY: return {"BINARY", raw_size, 0};
    case VESK_TYPE_INTERVAL_YM: return {"INTERVAL YEAR TO MONTH", 4, 0};
    case VESK_TYPE_INTERVAL_DS: return {"INTERVAL DAY TO SECOND", 8, 0};
    case VESK_TYPE_CLOB_OLD:
    case VESK_TYPE_CLOB: return {"CLOB", raw_size, 0};
    case VESK_TYPE_BLOB: return {"BLOB", raw_size, 0};
    case VESK_TYPE_REFCURSOR: return {"RefCursor", raw_size, 0};
    case VESK_TYPE_CHAR:
    case VESK_TYPE_NCHAR: return {"CHAR", raw_size, 0};
    default: return {"", raw_size, 0};
  }
}

}  // namespace vk
