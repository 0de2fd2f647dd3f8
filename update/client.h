// What the switch and the recovery need of the client: the update procedure
// knows how to tell whether it runs, to start it and to end it, and hands
// them this, so that no layer below the procedure starts or ends a program
// of its own.
#ifndef UPDATE_CLIENT_H_
#define UPDATE_CLIENT_H_

class ClientControl {
 public:
  virtual ~ClientControl() = default;
  // Whether a program runs from the client folder.
  virtual bool Runs() = 0;
  // The new client's firewall script, then the client, checked to run.
  virtual bool Start() = 0;
  // Ends every client process and every program running from the client
  // folder (a client started meanwhile would hold the folder).
  virtual void EndPrograms() = 0;
};

#endif  // UPDATE_CLIENT_H_
