#pragma once
// The program's string table texts by id; "" for an unknown id.
const char* LoadStringText(int id);
