// The Linux program's signal handling, set up once at its start.
#pragma once

// Every signal that would end the tool gets the handler that deletes an
// unfinished target first; those the caller ignored stay ignored.
void catch_interrupts();
